#pragma once

// What the program says about itself, and the fonts and icon its window
// relies on.

#include "oxu_version.h"

class QApplication;
class QFont;

namespace oxu {

inline constexpr const char* kProductName = "Oxu";
inline constexpr const char* kProductVersion = kVersion;
// The language of the program's texts, recorded as metadata only: the texts
// themselves stay as the operators know them.
inline constexpr const char* kProductLanguage = "fr_FR";
// The dynamic property of the application object that carries the language.
inline constexpr const char* kLanguageProperty = "oxuLanguage";

// Sets the application name ("Oxu", which is also the display name and the
// title of a box without its own), version "1.00", the language property,
// the window icon and the fonts, and makes SIGTERM, SIGINT and SIGHUP put a
// port's serial flags back before the program ends (see
// restoreLineFlagsOnTermination). Call once, right after creating app.
void setUpApplication(QApplication& app);

// Makes "Tahoma" and "Verdana" resolve on this system: the installed fonts
// when present, else Wine's Tahoma (fonts-wine keeps it outside the
// fontconfig path, so it is loaded from its folder), else DejaVu Sans, whose
// metrics are close to both. Safe to call more than once.
void installFontFallbacks();

// The window's base font: Tahoma 8.25 pt.
QFont baseFont();
// Tahoma-sized Verdana, bold or not.
QFont verdanaFont(double pointSize, bool bold);

}  // namespace oxu
