// The real message boxes and file dialog, driven as an operator would: a
// timer finds the open modal widget, checks it and presses its button.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/form1.h"
#include "protocol/download_command.h"
#include "tests/kit/fakes.h"

namespace oxu::testkit {
namespace {

// Runs action on the first modal widget to open, from inside its event loop.
// A dialog the action leaves open (a failed check) is ended afterwards, so a
// failure never hangs the suite.
void whenModalOpens(std::function<void(QWidget*)> action) {
    auto* poll = new QTimer(qApp);
    auto polls = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, polls, action] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            QPointer<QWidget> guard(modal);
            action(modal);
            if (guard && guard->isVisible()) {
                if (auto* dialog = qobject_cast<QDialog*>(guard.data()))
                    dialog->done(0);
            }
        } else if (++*polls > 2000) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(5);
}

QString buttonsOf(QMessageBox* box) {
    QStringList names;
    for (QAbstractButton* button : box->buttons())
        names << button->text().remove(QLatin1Char('&'));
    names.sort();
    return names.join(QLatin1Char(','));
}

struct SeenBox {
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString buttons;
    bool defaultIsYes = false;
};

class MessageBoxTest : public ::testing::Test {
protected:
    // Shows a box through the window's services and presses `press` on it.
    Answer showAndPress(const std::string& text, Buttons buttons, Icon icon,
                        std::optional<std::string> title, QMessageBox::StandardButton press) {
        whenModalOpens([this, press](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            seen.text = box->text();
            seen.title = box->windowTitle();
            seen.icon = box->icon();
            seen.buttons = buttonsOf(box);
            seen.defaultIsYes = box->defaultButton() == box->button(QMessageBox::Yes);
            box->button(press)->click();
        });
        return form.messageBox(text, buttons, icon, std::move(title));
    }

    FakePort port;
    FakeClock clock;
    Form1 form{&port, &clock};
    SeenBox seen;
};

TEST_F(MessageBoxTest, ShowsTextIconTitleAndButtonsAsAsked) {
    const struct {
        const char* text;
        Buttons buttons;
        Icon icon;
        std::optional<std::string> title;
        QMessageBox::StandardButton press;
        QMessageBox::Icon qtIcon;
        const char* qtTitle;
        const char* qtButtons;
        Answer answer;
    } cases[] = {
        {"Transfert Complete", Buttons::Ok, Icon::Information, "OXU Updater", QMessageBox::Ok,
         QMessageBox::Information, "OXU Updater", "OK", Answer::Ok},
        {"Connection Failed", Buttons::Ok, Icon::Warning, "OXU Updater", QMessageBox::Ok,
         QMessageBox::Warning, "OXU Updater", "OK", Answer::Ok},
        {"Cannot open COM 1 (/dev/x): <busy> & gone", Buttons::Ok, Icon::None, std::nullopt,
         QMessageBox::Ok, QMessageBox::NoIcon, "Oxu", "OK", Answer::Ok},
        {"Do you want to send the Download Command?", Buttons::YesNo, Icon::Question, "OXU Updater",
         QMessageBox::Yes, QMessageBox::Question, "OXU Updater", "No,Yes", Answer::Yes},
        {"Do you want to send the Download Command?", Buttons::YesNo, Icon::Question, "OXU Updater",
         QMessageBox::No, QMessageBox::Question, "OXU Updater", "No,Yes", Answer::No},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        seen = SeenBox{};
        EXPECT_EQ(showAndPress(c.text, c.buttons, c.icon, c.title, c.press), c.answer);
        EXPECT_EQ(seen.text, QString::fromLatin1(c.text));
        EXPECT_EQ(seen.icon, c.qtIcon);
        EXPECT_EQ(seen.title, QString::fromLatin1(c.qtTitle));
        EXPECT_EQ(seen.buttons, QString::fromLatin1(c.qtButtons));
        if (c.buttons == Buttons::YesNo) {
            EXPECT_TRUE(seen.defaultIsYes);
        }
        EXPECT_FALSE(form.modalOpen());
    }
}

TEST_F(MessageBoxTest, QuestionCannotBeDismissedWithoutAnAnswer) {
    bool stillOpenAfterEscape = false;
    bool stillOpenAfterClose = false;
    bool hasCloseButton = true;
    whenModalOpens([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        hasCloseButton = box->windowFlags().testFlag(Qt::WindowCloseButtonHint);
        QTest::keyClick(box, Qt::Key_Escape);
        stillOpenAfterEscape = box->isVisible();
        box->close();
        stillOpenAfterClose = box->isVisible();
        box->button(QMessageBox::No)->click();
    });
    EXPECT_EQ(form.messageBox(kDownloadQuestion, Buttons::YesNo, Icon::Question, kWindowTitle),
              Answer::No);
    EXPECT_TRUE(stillOpenAfterEscape);
    EXPECT_TRUE(stillOpenAfterClose);
    EXPECT_FALSE(hasCloseButton);
}

TEST_F(MessageBoxTest, EnterAnswersYesOnTheQuestion) {
    whenModalOpens([](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Return); });
    EXPECT_EQ(form.messageBox(kDownloadQuestion, Buttons::YesNo, Icon::Question, kWindowTitle),
              Answer::Yes);
}

TEST_F(MessageBoxTest, FileDialogOffersTheBinFilterAndAcceptsANewName) {
    QTemporaryDir folder;
    const QString newName = folder.filePath(QStringLiteral("new.bin"));
    QStringList filters;
    QFileDialog::FileMode mode = QFileDialog::ExistingFile;
    QFileDialog::AcceptMode accept = QFileDialog::AcceptSave;
    whenModalOpens([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        filters = dialog->nameFilters();
        mode = dialog->fileMode();
        accept = dialog->acceptMode();
        dialog->selectFile(newName);
        static_cast<QDialog*>(dialog)->accept();
    });
    EXPECT_EQ(form.chooseFile(kFirmwareFilter), newName.toStdString());
    EXPECT_EQ(filters, QStringList{QStringLiteral("OXU bin Files (*.bin)")});
    EXPECT_EQ(mode, QFileDialog::AnyFile);
    EXPECT_EQ(accept, QFileDialog::AcceptOpen);
}

TEST_F(MessageBoxTest, CancellingTheFileDialogGivesAnEmptyNameNotTheLastOne) {
    whenModalOpens([](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        dialog->selectFile(QStringLiteral("/tmp/first.bin"));
        static_cast<QDialog*>(dialog)->accept();
    });
    EXPECT_EQ(form.chooseFile(kFirmwareFilter), "/tmp/first.bin");
    whenModalOpens([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
    EXPECT_EQ(form.chooseFile(kFirmwareFilter), "");
}

}  // namespace
}  // namespace oxu::testkit
