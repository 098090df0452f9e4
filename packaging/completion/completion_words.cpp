// Prints the words the bash completions offer after --port and after --baud,
// one set a line, from the table of line choices that every front end reads.

#include <iostream>

#include "protocol/line_choices.h"

int main() {
    for (int port = oxu::kFirstPortNumber; port <= oxu::kLastPortNumber; ++port)
        std::cout << (port == oxu::kFirstPortNumber ? "" : " ") << port;
    std::cout << '\n';
    const char* separator = "";
    for (const oxu::LineChoice& choice : oxu::kLineChoices) {
        std::cout << separator << choice.baud;
        separator = " ";
    }
    std::cout << '\n';
    return std::cout ? 0 : 1;
}
