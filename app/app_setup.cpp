#include "app/app_setup.h"

#include <QApplication>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>
#include <QStringList>

#include "serial/line_control.h"

namespace oxu {
namespace {

constexpr double kBasePointSize = 8.25;
constexpr const char* kWineFontFolder = "/usr/share/wine/fonts/";
constexpr const char* kFallbackFamily = "DejaVu Sans";

bool hasFamily(const QString& family) {
    return QFontDatabase::families().contains(family, Qt::CaseInsensitive);
}

}  // namespace

void installFontFallbacks() {
    if (!hasFamily(QStringLiteral("Tahoma"))) {
        for (const char* file : {"tahoma.ttf", "tahomabd.ttf"}) {
            const QString path = QString::fromLatin1(kWineFontFolder) + QLatin1String(file);
            if (QFileInfo::exists(path))
                QFontDatabase::addApplicationFont(path);
        }
    }
    // Substitutes are consulted only when the family itself is missing.
    QFont::insertSubstitution(QStringLiteral("Tahoma"), QString::fromLatin1(kFallbackFamily));
    QFont::insertSubstitution(QStringLiteral("Verdana"), QString::fromLatin1(kFallbackFamily));
}

QFont baseFont() {
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSizeF(kBasePointSize);
    return font;
}

QFont verdanaFont(double pointSize, bool bold) {
    QFont font(QStringLiteral("Verdana"));
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

void setUpApplication(QApplication& app) {
    QApplication::setApplicationName(QString::fromLatin1(kProductName));
    QApplication::setApplicationVersion(QString::fromLatin1(kProductVersion));
    // The display name is left unset on purpose: it then reads as the
    // application name, "Oxu", and Qt does not append it to the caption.
    QApplication::setOrganizationName(QString());
    QApplication::setOrganizationDomain(QString());
    app.setProperty(kLanguageProperty, QString::fromLatin1(kProductLanguage));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/oxu/oxu-updater.png")));
    installFontFallbacks();
    QApplication::setFont(baseFont());
    // Cancel ends the window at once, and so does a signal: the port's
    // driver flags must not outlive it as the port left them.
    restoreLineFlagsOnTermination();
}

}  // namespace oxu
