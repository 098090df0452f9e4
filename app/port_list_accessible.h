#pragma once

// The port list as assistive technology reads it. On Linux, Qt names a
// combo box by the item it shows ("1, combo box") and drops the name given
// to it, leaving a screen reader to find the label through a relation that
// not every reader follows. The port list instead carries its own name
// ("Comm Port") with the port number as its value.

namespace oxu {

// The object name of the list this applies to: the window's port list.
inline constexpr const char* kPortListName = "Combo1";

// Makes every combo box named kPortListName answer assistive technology with
// its accessible name (else its label's text) as its name and the item shown
// as its value; its popup list and its open/close action stay as Qt's own.
// Call before the list is created (Qt keeps the first answer for a widget).
// Safe to call more than once.
void installPortListAccessibility();

}  // namespace oxu
