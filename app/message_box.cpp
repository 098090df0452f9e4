#include "app/message_box.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>

namespace oxu {
namespace {

// A question box that cannot be dismissed without an answer. QMessageBox
// would otherwise treat a lone "No" as the Escape button and answer No on
// Escape or on a close request.
class AnswerRequiredBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;
    void setAnswerRequired(bool required) { m_answerRequired = required; }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (m_answerRequired &&
            (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Cancel))) {
            event->accept();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }

    void closeEvent(QCloseEvent* event) override {
        if (m_answerRequired && clickedButton() == nullptr) {
            event->ignore();
            return;
        }
        QMessageBox::closeEvent(event);
    }

private:
    bool m_answerRequired = false;
};

QMessageBox::Icon qtIcon(Icon icon) {
    switch (icon) {
        case Icon::Information:
            return QMessageBox::Information;
        case Icon::Warning:
            return QMessageBox::Warning;
        case Icon::Question:
            return QMessageBox::Question;
        case Icon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

Answer runMessageBox(QWidget* parent, const std::string& text, Buttons buttons, Icon icon,
                     const std::optional<std::string>& title) {
    AnswerRequiredBox box(parent);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(QString::fromStdString(title ? *title : kApplicationTitle));
    // Failure texts carry paths and system messages: never read them as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    box.setIcon(qtIcon(icon));
    if (buttons == Buttons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setAnswerRequired(true);
        box.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setDefaultButton(QMessageBox::Ok);
    }
    box.exec();
    if (buttons == Buttons::Ok)
        return Answer::Ok;
    return box.clickedButton() == box.button(QMessageBox::Yes) ? Answer::Yes : Answer::No;
}

}  // namespace oxu
