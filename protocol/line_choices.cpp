#include "protocol/line_choices.h"

namespace oxu {

std::string listBaudRates() {
    std::string text;
    for (std::size_t i = 0; i < kLineChoices.size(); ++i) {
        if (i > 0)
            text += i + 1 == kLineChoices.size() ? " or " : ", ";
        text += std::to_string(kLineChoices[i].baud);
    }
    return text;
}

}  // namespace oxu
