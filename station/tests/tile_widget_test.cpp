// What a tile tells assistive technology: its name, its state line as its
// description, announced as it changes, and the port's own words on a
// failure as its help.

#include "station/tile_widget.h"

#include <gtest/gtest.h>

#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>
#include <QAccessible>

namespace oxu::station {
namespace {

std::vector<std::pair<QAccessible::Event, QString>> announced;

// Qt sends accessibility events only while a client listens: the test is
// that client.
TEST(TileWidget, AnnouncesEachNewStateLineAsItsDescription) {
    QPlatformAccessibility* platform =
        QGuiApplicationPrivate::platformIntegration()->accessibility();
    platform->setActive(true);
    const auto previous = QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
        announced.emplace_back(event->type(),
                               event->accessibleInterface()->text(QAccessible::Description));
    });
    TileWidget widget;
    runs::PortView view;
    view.number = 2;
    for (const char* state :
         {"waiting for a board", "page 17 of 160", "page 17 of 160", "failed: connection failed"}) {
        view.state = state;
        view.detail = view.tone == runs::Tone::Failed ? "nothing heard for 10 s" : "";
        widget.setView(view);
        view.tone = runs::Tone::Failed;
    }
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&widget)->text(QAccessible::Name), "COM 2");
    EXPECT_EQ(widget.toolTip(), "nothing heard for 10 s");
    QAccessible::installUpdateHandler(previous);
    platform->setActive(false);

    std::vector<QString> descriptions;
    for (const auto& [type, text] : announced) {
        if (type == QAccessible::DescriptionChanged)
            descriptions.push_back(text);
    }
    EXPECT_EQ(descriptions, (std::vector<QString>{"waiting for a board", "page 17 of 160",
                                                  "failed: connection failed"}));
}

TEST(TileWidget, SaysTheTimeTakenAtAGlance) {
    using std::chrono::microseconds;
    const struct {
        microseconds taken;
        const char* shown;
    } cases[] = {
        {microseconds{0}, ""},  // no attempt yet
        {microseconds{42'000}, "0.04 s"},
        {microseconds{12'340'000}, "12.3 s"},
        {microseconds{125'000'000}, "2 min 05 s"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatDuration(c.taken).toStdString(), c.shown) << c.taken.count();
}

}  // namespace
}  // namespace oxu::station
