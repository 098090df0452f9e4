// What assistive technology reads from the window: a name for every control,
// a description where one helps, the port list's label and value, and every
// new text of the status line announced as it appears.

#include <gtest/gtest.h>

#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>
#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <string>
#include <vector>

#include "recording_form.h"
#include "tests/kit/fakes.h"

namespace oxu::testkit {
namespace {

struct RecordedEvent {
    QObject* object;
    QAccessible::Event type;
    std::string name;  // the object's accessible name when the event was sent
};

std::vector<RecordedEvent> recordedEvents;

void recordEvent(QAccessibleEvent* event) {
    QAccessibleInterface* iface = event->accessibleInterface();
    recordedEvents.push_back({event->object(), event->type(),
                              iface ? iface->text(QAccessible::Name).toStdString() : ""});
}

// Qt sends accessibility events only while a client listens. The test is
// that client, as Qt's own accessibility tests are: it switches the
// platform's accessibility on and records what the window sends.
class AccessibilityTest : public ::testing::Test {
protected:
    AccessibilityTest() {
        platformAccessibility()->setActive(true);
        recordedEvents.clear();
        m_previousHandler = QAccessible::installUpdateHandler(&recordEvent);
    }
    ~AccessibilityTest() override {
        QAccessible::installUpdateHandler(m_previousHandler);
        platformAccessibility()->setActive(false);
    }

    static QPlatformAccessibility* platformAccessibility() {
        return QGuiApplicationPrivate::platformIntegration()->accessibility();
    }

    static QAccessibleInterface* accessible(QObject* object) {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
        EXPECT_NE(iface, nullptr);
        return iface;
    }

    // What a screen reader gets for one of the texts of iface.
    static std::string said(QAccessibleInterface* iface, QAccessible::Text text) {
        return iface->text(text).toStdString();
    }

    // The names of the controls that label this one.
    static std::vector<std::string> labelNames(QAccessibleInterface* iface) {
        std::vector<std::string> names;
        for (const auto& [other, relation] : iface->relations(QAccessible::Label))
            names.push_back(said(other, QAccessible::Name));
        return names;
    }

    std::vector<std::string> statusAnnouncements() const {
        std::vector<std::string> names;
        for (const RecordedEvent& event : recordedEvents) {
            if (event.object == form.Label2 && event.type == QAccessible::NameChanged)
                names.push_back(event.name);
        }
        return names;
    }

    FakePort port;
    FakeClock clock;
    RecordingForm form{&port, &clock};

private:
    QAccessible::UpdateHandler m_previousHandler = nullptr;
};

TEST_F(AccessibilityTest, NamesEveryControlWithARoleAndADescriptionWhereOneHelps) {
    const struct {
        QWidget* widget;
        QAccessible::Role role;
        std::string name;
        std::string descriptionPart;  // empty: no description needed
    } cases[] = {
        {form.Frame1, QAccessible::Grouping, "BAUD Rate", ""},
        {form.Option2, QAccessible::RadioButton, "9600",
         "9600 baud, 8 data bits, no parity, 1 stop bit"},
        {form.Option3, QAccessible::RadioButton, "19200", "19200 baud"},
        {form.Option4, QAccessible::RadioButton, "38400", "38400 baud"},
        {form.Command1, QAccessible::Button, "Cancel", "Ends the program"},
        {form.Command2, QAccessible::Button, "Update", "firmware file"},
        {form.Command3, QAccessible::Button, "Send Download Command", "confirmation"},
        // The status line is empty at start: its name is its text.
        {form.Label2, QAccessible::StaticText, "", "Progress"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.widget->objectName().toStdString());
        QAccessibleInterface* iface = accessible(c.widget);
        ASSERT_NE(iface, nullptr);
        EXPECT_EQ(iface->role(), c.role);
        EXPECT_EQ(said(iface, QAccessible::Name), c.name);
        const std::string description = said(iface, QAccessible::Description);
        EXPECT_NE(description.find(c.descriptionPart), std::string::npos) << description;
    }
}

TEST_F(AccessibilityTest, PortListIsReadAsItsLabelThenTheNumberShown) {
    QAccessibleInterface* iface = accessible(form.Combo1);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->role(), QAccessible::ComboBox);
    EXPECT_EQ(labelNames(iface), std::vector<std::string>{"Comm Port"});
    EXPECT_EQ(form.Combo1->accessibleName().toStdString(), "Comm Port");

    for (int number : {1, 5, 16}) {
        SCOPED_TRACE(number);
        form.Combo1->setCurrentIndex(form.Combo1->findText(QString::number(number)));
        // Read by its name, not by the number it shows (Qt's own way on Linux).
        EXPECT_EQ(said(iface, QAccessible::Name), "Comm Port");
        EXPECT_EQ(said(iface, QAccessible::Value), std::to_string(number));
        // The description names the device the number maps to, as the tooltip does.
        const std::string description = said(iface, QAccessible::Description);
        EXPECT_EQ(description, form.portMappingText().toStdString());
        EXPECT_EQ(description.rfind("COM " + std::to_string(number) + ":", 0), 0u) << description;
    }
    // The label itself keeps what it shows.
    EXPECT_EQ(form.Label1->text().toStdString(), "Comm Port");

    // The choices stay reachable: the popup's list is its child, and its
    // action opens and closes the popup.
    ASSERT_EQ(iface->childCount(), 1);
    EXPECT_EQ(iface->child(0)->object(), form.Combo1->view());
    EXPECT_EQ(iface->indexOfChild(iface->child(0)), 0);
    QAccessibleActionInterface* actions = iface->actionInterface();
    ASSERT_NE(actions, nullptr);
    EXPECT_TRUE(actions->actionNames().contains(QAccessibleActionInterface::showMenuAction()));
    form.show();
    actions->doAction(QAccessibleActionInterface::showMenuAction());
    EXPECT_TRUE(form.Combo1->view()->isVisible());
    actions->doAction(QAccessibleActionInterface::showMenuAction());
    EXPECT_FALSE(form.Combo1->view()->isVisible());
}

TEST_F(AccessibilityTest, AnnouncesEveryNewStatusTextOnceAsTheStatusLineName) {
    const std::vector<std::string> texts = {
        "Transferring page 001 ...",
        "Transferring page 002 ...",
        "Transferring page 010 ...",
        "",
    };
    for (const std::string& text : texts) {
        form.setStatus(text);
        // The same text again is no news.
        form.setStatus(text);
    }
    EXPECT_EQ(statusAnnouncements(), texts);

    form.setStatus("Transferring page 255 ...");
    QAccessibleInterface* iface = accessible(form.Label2);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(said(iface, QAccessible::Name), "Transferring page 255 ...");
    EXPECT_EQ(said(iface, QAccessible::Name), form.Label2->text().toStdString());
}

}  // namespace
}  // namespace oxu::testkit
