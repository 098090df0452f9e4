#pragma once

// What the transfer logic needs from the operator's window. The window (or a
// terminal front end) implements the protected hooks; callers use the public
// non-virtual functions, which also keep count of open modal dialogs so that
// the watchdog never stacks a second box on top of one.

#include <functional>
#include <optional>
#include <string>

#include "protocol/line_choices.h"

namespace oxu {

enum class Buttons { Ok, YesNo };
enum class Icon { None, Information, Warning, Question };
enum class Answer { Ok, Yes, No };

inline constexpr const char* kWindowTitle = "OXU Updater";
inline constexpr const char* kApplicationTitle = "Oxu";
inline constexpr const char* kFirmwareFilter = "OXU bin Files (*.bin)|*.bin";

class WindowServices {
public:
    virtual ~WindowServices() = default;

    // Current text of the port list, "1".."16" in use.
    virtual std::string portText() const = 0;
    // Which baud option is selected.
    virtual BaudOption selectedBaud() const = 0;
    // Shows text in the status line and repaints it before returning, without
    // running other pending events.
    virtual void setStatus(const std::string& text) = 0;
    // Ends the program at once; nothing else runs.
    virtual void endProgram() = 0;

    // Modal box; returns when dismissed. No title means the application title
    // ("Oxu"). With Yes/No, Yes is the default and there is no way out but an
    // answer.
    Answer messageBox(const std::string& text, Buttons buttons, Icon icon,
                      std::optional<std::string> title);
    // Modal open-file dialog with a filter "label|pattern"; empty on cancel.
    std::string chooseFile(const std::string& filter);

    // True while one of the boxes above, or the file dialog, is open.
    bool modalOpen() const { return m_modalDepth > 0; }

    // The periodic tick that drives the watchdog (Watchdog::tick(), every
    // 10 ms). It is needed only while an update is watched: the transfer
    // starts it when it arms the watchdog, and the watchdog stops it on the
    // first tick that finds nothing to watch. A front end runs its timer from
    // tickSwitch(true) to tickSwitch(false), without restarting a running
    // one; a front end that sets no switch must tick all the time. Set the
    // switch before the first update starts.
    using TickSwitch = std::function<void(bool run)>;
    void setTickSwitch(TickSwitch tickSwitch);
    // Asks for the tick; calls the switch only when the tick was stopped.
    void startTicking();
    // Lets the tick stop; calls the switch only when the tick was running.
    void stopTicking();
    // True from startTicking() to the next stopTicking().
    bool ticking() const { return m_ticking; }

protected:
    virtual Answer showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                                  const std::optional<std::string>& title) = 0;
    virtual std::string showFileDialog(const std::string& filter) = 0;

private:
    int m_modalDepth = 0;
    TickSwitch m_tickSwitch;
    bool m_ticking = false;
};

}  // namespace oxu
