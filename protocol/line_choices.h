#pragma once

// The line choices the device speaks, in one table: which option the operator
// picks, the baud rate as a number, and the settings text the operators know
// ("38400,n,8,1"). Always 8 data bits, no parity, 1 stop bit. The window, the
// command-line tool, the serial layer and the simulated device all read it.

#include <array>
#include <string>

namespace oxu {

// The baud option buttons of the window (Option2 is the slowest), in the
// order they are tested.
enum class BaudOption { None, Option2, Option3, Option4 };

struct LineChoice {
    BaudOption option;
    int baud;              // bits per second
    const char* settings;  // "9600,n,8,1"
};

inline constexpr std::array<LineChoice, 3> kLineChoices{{
    {BaudOption::Option2, 9600, "9600,n,8,1"},
    {BaudOption::Option3, 19200, "19200,n,8,1"},
    {BaudOption::Option4, 38400, "38400,n,8,1"},
}};

// The choice selected when a program starts: 38400 baud.
inline constexpr const LineChoice& kDefaultLineChoice = kLineChoices[2];

// Port numbers the operator can pick.
inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 16;

// The choice of an option, or null for BaudOption::None.
constexpr const LineChoice* findLineChoice(BaudOption option) {
    for (const LineChoice& choice : kLineChoices) {
        if (choice.option == option)
            return &choice;
    }
    return nullptr;
}

// The choice with that baud rate, or null for a rate the device does not speak.
constexpr const LineChoice* findLineChoiceByBaud(int baud) {
    for (const LineChoice& choice : kLineChoices) {
        if (choice.baud == baud)
            return &choice;
    }
    return nullptr;
}

// "9600, 19200 or 38400", for messages that list the rates.
std::string listBaudRates();

}  // namespace oxu
