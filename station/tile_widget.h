#pragma once

// One port's tile, drawn by itself so that it is one accessible object:
// named "COM N", its description the state line, its help the cause of the
// last failure as the port said it. It takes focus from the keyboard so a screen reader can
// visit each tile in turn.

#include <QWidget>

#include "runs/port_board.h"

namespace oxu::station {

class TileWidget final : public QWidget {
    Q_OBJECT

public:
    explicit TileWidget(QWidget* parent = nullptr);

    // Shows view, and tells assistive technology of a new state line.
    void setView(const runs::PortView& view);
    const runs::PortView& view() const { return m_view; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    runs::PortView m_view;
};

// "0.04 s", "12.3 s", "2 min 05 s"; empty for no time at all.
QString formatDuration(std::chrono::microseconds duration);

}  // namespace oxu::station
