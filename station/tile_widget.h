#pragma once

// One port's tile, drawn by itself so that it is one accessible object:
// named "COM N", its description the state line, its help the cause of the
// last failure. It takes focus from the keyboard so a screen reader can
// visit each tile in turn.

#include <QWidget>

#include "station/tile_board.h"

namespace oxu::station {

class TileWidget final : public QWidget {
    Q_OBJECT

public:
    explicit TileWidget(QWidget* parent = nullptr);

    // Shows view, and tells assistive technology of a new state line.
    void setView(const TileView& view);
    const TileView& view() const { return m_view; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TileView m_view;
};

// "12.3 s", "2 min 05 s".
QString formatDuration(std::chrono::microseconds duration);

}  // namespace oxu::station
