#include "app/common_dialog.h"

#include <QFileDialog>

namespace oxu {

QStringList convertFilter(const QString& filter) {
    QStringList result;
    const QStringList parts = filter.split(QLatin1Char('|'));
    if (filter.isEmpty())
        return result;
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        const QString label = parts[i].trimmed();
        QString patterns = i + 1 < parts.size() ? parts[i + 1].trimmed() : QStringLiteral("*");
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        patterns = patterns.simplified();
        if (patterns.isEmpty())
            patterns = QStringLiteral("*");
        if (label.isEmpty()) {
            result << QStringLiteral("(%1)").arg(patterns);
            continue;
        }
        // Qt takes the patterns from the last parenthesised group of a filter;
        // a label that already shows them must not show them twice.
        if (label.endsWith(QStringLiteral("(%1)").arg(patterns)))
            result << label;
        else
            result << QStringLiteral("%1 (%2)").arg(label, patterns);
    }
    return result;
}

QString CommonDialog::showOpen(QWidget* parent, const QString& filter) {
    QFileDialog dialog(parent);
    // Qt's own dialog behaves the same on every desktop and with no desktop
    // portal, and it is the one the tests can drive.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // A name that does not exist is accepted; the update then does nothing.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(convertFilter(filter));
    dialog.setWindowModality(Qt::ApplicationModal);
    m_fileName.clear();
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        m_fileName = dialog.selectedFiles().constFirst();
    return m_fileName;
}

}  // namespace oxu
