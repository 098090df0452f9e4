#pragma once

// Form1 with its modal services answered by the test: boxes are recorded and
// answered at once, the file dialog returns a preset path, and "end the
// program" is counted instead of ending the test process.

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "app/form1.h"
#include "tests/kit/fakes.h"

namespace oxu::testkit {

// A box as shown: the same record the fake window keeps.
using RecordedBox = ShownBox;

class RecordingForm : public Form1 {
public:
    using Form1::Form1;

    std::vector<std::string> boxTexts() const {
        std::vector<std::string> texts;
        for (const RecordedBox& box : boxes)
            texts.push_back(box.text);
        return texts;
    }

    void setStatus(const std::string& text) override {
        statuses.push_back(text);
        Form1::setStatus(text);
    }
    void endProgram() override { ++endCount; }

    std::vector<RecordedBox> boxes;
    std::deque<Answer> answers;  // answers to Yes/No boxes; No when empty
    std::string chosenFile;      // what the file dialog returns
    int dialogCount = 0;
    std::optional<std::string> dialogFilter;
    std::vector<std::string> statuses;
    int endCount = 0;

protected:
    Answer showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                          const std::optional<std::string>& title) override {
        boxes.push_back({text, buttons, icon, title});
        if (buttons == Buttons::Ok)
            return Answer::Ok;
        if (answers.empty())
            return Answer::No;
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::string showFileDialog(const std::string& filter) override {
        ++dialogCount;
        dialogFilter = filter;
        return chosenFile;
    }
};

}  // namespace oxu::testkit
