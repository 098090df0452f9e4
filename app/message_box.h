#pragma once

// The window's modal message boxes on QMessageBox.

#include <optional>
#include <string>

#include "protocol/window_services.h"

class QWidget;

namespace oxu {

// Shows a box modal to parent with text (plain text, shown as given), the
// buttons, the icon and the title; no title shows the application title
// "Oxu". With Yes/No, Yes is the default button and the box has no close
// button and ignores Escape and close requests: only an answer ends it.
// Returns the button pressed.
Answer runMessageBox(QWidget* parent, const std::string& text, Buttons buttons, Icon icon,
                     const std::optional<std::string>& title);

}  // namespace oxu
