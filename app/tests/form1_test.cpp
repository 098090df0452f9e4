// The window as the operator first sees it: controls, texts, fonts, focus,
// size, identity; and the filter text the file dialog is given.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "app/app_setup.h"
#include "app/common_dialog.h"
#include "recording_form.h"
#include "tests/kit/fakes.h"

namespace oxu::testkit {
namespace {

class Form1Test : public ::testing::Test {
protected:
    FakePort port;
    FakeClock clock;
    RecordingForm form{&port, &clock};
};

struct ControlCase {
    const char* name;
    QRect geometry;  // pixels, relative to the parent
    const char* text;
};

TEST_F(Form1Test, PlacesEveryControlAtItsPositionWithItsText) {
    const ControlCase cases[] = {
        {"Command1", {211, 112, 97, 25}, "Cancel"},
        {"Combo1", {248, 29, 57, 21}, "1"},
        {"Frame1", {8, 16, 169, 41}, "BAUD Rate"},
        {"Option2", {8, 19, 57, 13}, "9600"},
        {"Option3", {56, 19, 65, 13}, "19200"},
        {"Option4", {112, 19, 53, 13}, "38400"},
        {"Command2", {8, 112, 97, 25}, "Update"},
        {"Command3", {8, 64, 169, 25}, "Send Download Command"},
    };
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto* widget = form.findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), c.geometry);
        QString text;
        if (auto* button = qobject_cast<QAbstractButton*>(widget))
            text = button->text();
        else if (auto* combo = qobject_cast<QComboBox*>(widget))
            text = combo->currentText();
        else if (auto* box = qobject_cast<QGroupBox*>(widget))
            text = box->title();
        EXPECT_EQ(text, QString::fromLatin1(c.text));
    }
    EXPECT_EQ(form.Option2->parentWidget(), form.Frame1);
}

TEST_F(Form1Test, LabelsStartAtTheirPositionAndShowTheirWholeText) {
    const struct {
        QLabel* label;
        QPoint position;
        QString text;
    } cases[] = {
        {form.Label1, {192, 33}, QStringLiteral("Comm Port")},
        {form.Label2, {16, 92}, QString()},
        {form.Label3, {128, 0}, QString::fromLatin1(Form1::kCreditText)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label->objectName().toStdString());
        EXPECT_EQ(c.label->pos(), c.position);
        EXPECT_EQ(c.label->text(), c.text);
        EXPECT_GE(c.label->width(), c.label->fontMetrics().horizontalAdvance(c.text));
        EXPECT_LE(c.label->geometry().right(), Form1::kClientWidth - 1);
        EXPECT_FALSE(c.label->autoFillBackground());
    }
    EXPECT_EQ(form.Label3->palette().color(QPalette::WindowText), QColor(128, 128, 128));
}

TEST_F(Form1Test, LongestStatusFitsTheLabelAndTheWindow) {
    form.setStatus("Transferring page 255 ...");
    const QFontMetrics metrics(form.Label2->font());
    EXPECT_GE(form.Label2->width(), metrics.horizontalAdvance(form.Label2->text()));
    EXPECT_GE(form.Label2->height(), metrics.height());
    EXPECT_LE(form.Label2->geometry().right(), Form1::kClientWidth - 1);
    // It sits between the download button and the bottom row of buttons.
    EXPECT_GE(form.Label2->geometry().top(), form.Command3->geometry().bottom());
    EXPECT_LE(form.Label2->geometry().bottom(), form.Command2->geometry().top());
}

TEST_F(Form1Test, ButtonTextsFitTheirButtons) {
    for (QPushButton* button : {form.Command1, form.Command2, form.Command3}) {
        SCOPED_TRACE(button->objectName().toStdString());
        EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()), button->width() - 8);
    }
    const QFontMetrics frameMetrics(form.Frame1->font());
    EXPECT_LE(frameMetrics.horizontalAdvance(form.Frame1->title()), form.Frame1->width());
}

TEST_F(Form1Test, StartsOnPortOneAt38400WithAnEmptyStatusAndFocusOnCancel) {
    EXPECT_EQ(form.Combo1->currentText(), QStringLiteral("1"));
    EXPECT_EQ(form.portText(), "1");
    EXPECT_TRUE(form.Option4->isChecked());
    EXPECT_FALSE(form.Option2->isChecked());
    EXPECT_FALSE(form.Option3->isChecked());
    EXPECT_EQ(form.selectedBaud(), BaudOption::Option4);
    EXPECT_EQ(form.Label2->text(), QString());
    EXPECT_EQ(form.focusWidget(), form.Command1);
    EXPECT_FALSE(form.Timer1->isActive()) << "nothing to watch until an update starts";
    EXPECT_EQ(form.Timer1->interval(), 10);
    EXPECT_FALSE(port.isOpen());
}

TEST_F(Form1Test, PortListHoldsOneToSixteenAndCannotBeTyped) {
    EXPECT_FALSE(form.Combo1->isEditable());
    ASSERT_EQ(form.Combo1->count(), 16);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(form.Combo1->itemText(i), QString::number(i + 1));
}

TEST_F(Form1Test, BaudOptionsExcludeEachOther) {
    const struct {
        QRadioButton* option;
        BaudOption baud;
    } cases[] = {{form.Option2, BaudOption::Option2},
                 {form.Option3, BaudOption::Option3},
                 {form.Option4, BaudOption::Option4}};
    for (const auto& c : cases) {
        c.option->click();
        EXPECT_EQ(form.selectedBaud(), c.baud);
        int checked = 0;
        for (const auto& other : cases)
            checked += other.option->isChecked() ? 1 : 0;
        EXPECT_EQ(checked, 1);
    }
}

TEST_F(Form1Test, TabVisitsTheControlsInTheirOrder) {
    // Radio buttons of one group take a single tab stop in Qt, at the
    // checked one; the chain itself holds all three in order.
    const QWidget* expected[] = {form.Command1, form.Combo1,  form.Frame1,  form.Option2,
                                 form.Option3,  form.Option4, form.Label1,  form.Command2,
                                 form.Label2,   form.Label3,  form.Command3};
    QWidget* widget = form.Command1;
    for (std::size_t i = 1; i < std::size(expected); ++i) {
        widget = widget->nextInFocusChain();
        while (widget->parentWidget() == nullptr || widget == &form)
            widget = widget->nextInFocusChain();
        EXPECT_EQ(widget, expected[i]) << "tab index " << i;
    }
    for (QWidget* passive :
         std::initializer_list<QWidget*>{form.Frame1, form.Label1, form.Label2, form.Label3})
        EXPECT_EQ(passive->focusPolicy(), Qt::NoFocus) << passive->objectName().toStdString();
}

TEST_F(Form1Test, WindowHasItsCaptionAndFixedSizeAndIsCentred) {
    EXPECT_EQ(form.windowTitle(), QStringLiteral("OXU Updater"));
    EXPECT_EQ(form.minimumSize(), QSize(316, 143));
    EXPECT_EQ(form.maximumSize(), QSize(316, 143));
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QPoint screenCentre = form.screen()->availableGeometry().center();
    EXPECT_LE((form.frameGeometry().center() - screenCentre).manhattanLength(), 2);
    form.resize(600, 400);
    EXPECT_EQ(form.size(), QSize(316, 143));
}

TEST_F(Form1Test, NoButtonAnswersEnter) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    for (QPushButton* button : {form.Command1, form.Command2, form.Command3}) {
        EXPECT_FALSE(button->isDefault());
        EXPECT_FALSE(button->autoDefault());
    }
    form.Command1->setFocus();
    QTest::keyClick(form.Command1, Qt::Key_Return);
    QTest::keyClick(form.Command1, Qt::Key_Enter);
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_EQ(form.endCount, 0);
    EXPECT_EQ(form.dialogCount, 0);
}

TEST_F(Form1Test, UsesTheNamedFontsOrTheirSubstitutes) {
    const struct {
        QWidget* widget;
        double pointSize;
        bool bold;
    } cases[] = {
        {form.Combo1, 8.25, false},   {form.Label1, 8.25, false},  {form.Frame1, 8.25, false},
        {form.Command1, 9.75, true},  {form.Command2, 9.75, true}, {form.Label2, 9.75, true},
        {form.Command3, 8.25, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.widget->objectName().toStdString());
        EXPECT_DOUBLE_EQ(c.widget->font().pointSizeF(), c.pointSize);
        EXPECT_EQ(c.widget->font().bold(), c.bold);
        const QString family = QFontInfo(c.widget->font()).family();
        EXPECT_TRUE(family == QStringLiteral("Tahoma") || family == QStringLiteral("Verdana") ||
                    family == QStringLiteral("DejaVu Sans"))
            << family.toStdString();
    }
}

TEST_F(Form1Test, CancelAndClosingTheWindowEndTheProgram) {
    form.Command1->click();
    EXPECT_EQ(form.endCount, 1);
    form.show();
    form.close();
    EXPECT_EQ(form.endCount, 2);
    EXPECT_TRUE(form.boxes.empty());
}

TEST_F(Form1Test, PortTooltipNamesTheMappedDevice) {
    ::setenv("OXU_COM3", "/dev/pts/77", 1);
    form.Combo1->setCurrentIndex(2);
    EXPECT_EQ(form.Combo1->toolTip(), QStringLiteral("COM 3: /dev/pts/77 (from OXU_COM3)"));
    ::unsetenv("OXU_COM3");
    // The tip is refreshed when it is about to show, as adapters come and go.
    QHelpEvent tip(QEvent::ToolTip, QPoint(2, 2), form.Combo1->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(form.Combo1, &tip);
    EXPECT_TRUE(form.Combo1->toolTip().startsWith(QStringLiteral("COM 3: ")));
    EXPECT_NE(form.Combo1->toolTip(), QStringLiteral("COM 3: /dev/pts/77 (from OXU_COM3)"));
}

TEST(ApplicationIdentityTest, NamesVersionLanguageAndIcon) {
    EXPECT_EQ(QApplication::applicationName(), QStringLiteral("Oxu"));
    EXPECT_EQ(QApplication::applicationDisplayName(), QStringLiteral("Oxu"));
    EXPECT_EQ(QApplication::applicationVersion(), QStringLiteral("1.00"));
    EXPECT_EQ(qApp->property(kLanguageProperty).toString(), QStringLiteral("fr_FR"));
    EXPECT_FALSE(QApplication::windowIcon().isNull());
    EXPECT_TRUE(QApplication::windowIcon().availableSizes().contains(QSize(16, 16)));
}

TEST(ConvertFilterTest, TurnsLabelPatternPairsIntoQtFilters) {
    const struct {
        const char* filter;
        QStringList expected;
    } cases[] = {
        {"OXU bin Files (*.bin)|*.bin", {"OXU bin Files (*.bin)"}},
        {"Images|*.bin;*.hex", {"Images (*.bin *.hex)"}},
        {"Binary (*.bin)|*.bin|All Files (*.*)|*.*", {"Binary (*.bin)", "All Files (*.*)"}},
        {"Everything", {"Everything (*)"}},
        {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(convertFilter(QString::fromLatin1(c.filter)), c.expected) << c.filter;
}

}  // namespace
}  // namespace oxu::testkit
