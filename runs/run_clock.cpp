#include "runs/run_clock.h"

#include <QTimer>

namespace oxu::runs {
namespace {

class TimerAlarm final : public Alarm {
public:
    explicit TimerAlarm(std::function<void()> fire) {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, std::move(fire));
    }
    void start(std::chrono::microseconds after) override {
        m_timer.start(std::chrono::ceil<std::chrono::milliseconds>(
            std::max(after, std::chrono::microseconds(0))));
    }
    void stop() override { m_timer.stop(); }
    bool active() const override { return m_timer.isActive(); }

private:
    QTimer m_timer;
};

}  // namespace

std::unique_ptr<Alarm> LoopClock::makeAlarm(std::function<void()> fire) {
    return std::make_unique<TimerAlarm>(std::move(fire));
}

}  // namespace oxu::runs
