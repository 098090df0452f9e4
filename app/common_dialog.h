#pragma once

// The window's file-open dialog (CommonDialog1): takes filters written as
// "label|pattern" pairs and shows Qt's own (non-native) open dialog.

#include <QObject>
#include <QString>
#include <QStringList>

class QWidget;

namespace oxu {

// Qt name filters for a filter text of "label|pattern" pairs joined by '|'
// ("OXU bin Files (*.bin)|*.bin"). A label that already ends with its
// pattern in parentheses is kept as it is, so the dialog shows exactly the
// label; otherwise the pattern is appended in parentheses, where Qt reads it.
// Patterns separated by ';' become Qt's space-separated list. An empty text
// gives no filter; a trailing label without a pattern filters on "*".
QStringList convertFilter(const QString& filter);

class CommonDialog : public QObject {
    Q_OBJECT

public:
    explicit CommonDialog(QObject* parent = nullptr) : QObject(parent) {}

    // Shows a modal open dialog over parent with the given "label|pattern"
    // filter. It accepts the name of a file that does not exist. Returns the
    // chosen path, or an empty string when the operator cancels: a cancel
    // never falls back on an earlier choice, so it never restarts an update.
    QString showOpen(QWidget* parent, const QString& filter);

    // The last path showOpen returned (empty after a cancel).
    const QString& fileName() const { return m_fileName; }

private:
    QString m_fileName;
};

}  // namespace oxu
