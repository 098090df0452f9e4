#include "protocol/window_services.h"

namespace oxu {

namespace {

// Keeps the count of open modal dialogs right even when the dialog throws.
class ModalScope {
public:
    explicit ModalScope(int& depth) : m_depth(depth) { ++m_depth; }
    ~ModalScope() { --m_depth; }
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;

private:
    int& m_depth;
};

}  // namespace

Answer WindowServices::messageBox(const std::string& text, Buttons buttons, Icon icon,
                                  std::optional<std::string> title) {
    ModalScope scope(m_modalDepth);
    return showMessageBox(text, buttons, icon, title);
}

std::string WindowServices::chooseFile(const std::string& filter) {
    ModalScope scope(m_modalDepth);
    return showFileDialog(filter);
}

void WindowServices::setTickSwitch(TickSwitch tickSwitch) {
    m_tickSwitch = std::move(tickSwitch);
}

void WindowServices::startTicking() {
    if (m_ticking)
        return;
    m_ticking = true;
    if (m_tickSwitch)
        m_tickSwitch(true);
}

void WindowServices::stopTicking() {
    if (!m_ticking)
        return;
    m_ticking = false;
    if (m_tickSwitch)
        m_tickSwitch(false);
}

}  // namespace oxu
