#include "station/tile_widget.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

namespace oxu::station {
namespace {

using runs::Tone;

constexpr int kMargin = 8;
constexpr int kLines = 7;  // COM N, device, adapter, bar, state, cause, time and counts

// Light enough for dark text; the words say the same for those who cannot
// tell the colours apart.
QColor toneColor(Tone tone) {
    switch (tone) {
        case Tone::Working:
            return QColor(0xdd, 0xe8, 0xf8);
        case Tone::Stalled:
            return QColor(0xfb, 0xe3, 0xb0);
        case Tone::Complete:
            return QColor(0xc8, 0xeb, 0xc4);
        case Tone::Failed:
            return QColor(0xf6, 0xc4, 0xc0);
        case Tone::Idle:
            break;
    }
    return QColor(0xee, 0xee, 0xee);
}

QString text(const std::string& bytes) {
    return QString::fromStdString(bytes);
}

}  // namespace

QString formatDuration(std::chrono::microseconds duration) {
    if (duration.count() <= 0)
        return {};
    const double seconds = static_cast<double>(duration.count()) / 1e6;
    // A board on a fast line is done in a fraction of a second: "0.0 s"
    // would read as nothing at all.
    if (seconds < 1)
        return QString::number(seconds, 'f', 2) + " s";
    if (seconds < 60)
        return QString::number(seconds, 'f', 1) + " s";
    const long whole = static_cast<long>(seconds);
    return QString("%1 min %2 s").arg(whole / 60).arg(whole % 60, 2, 10, QChar('0'));
}

TileWidget::TileWidget(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void TileWidget::setView(const runs::PortView& view) {
    const bool renamed = view.number != m_view.number || accessibleName().isEmpty();
    m_view = view;
    if (renamed)
        setAccessibleName("COM " + QString::number(view.number));
    // Qt tells assistive technology when the description changes.
    if (accessibleDescription() != text(view.state))
        setAccessibleDescription(text(view.state));
    setToolTip(text(view.detail));
    update();
}

QSize TileWidget::sizeHint() const {
    return {fontMetrics().averageCharWidth() * 34,
            fontMetrics().height() * (kLines + 1) + 2 * kMargin};
}

QSize TileWidget::minimumSizeHint() const {
    return {fontMetrics().averageCharWidth() * 20, fontMetrics().height() * kLines + 2 * kMargin};
}

void TileWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect frame = rect().adjusted(1, 1, -2, -2);
    painter.setPen(palette().color(QPalette::Mid));
    painter.setBrush(toneColor(m_view.tone));
    painter.drawRoundedRect(frame, 4, 4);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = frame.adjusted(2, 2, -2, -2);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }

    const int lineHeight = (frame.height() - 2 * kMargin) / kLines;
    QRect line(frame.left() + kMargin, frame.top() + kMargin, frame.width() - 2 * kMargin,
               lineHeight);
    const auto write = [&](const QString& words, bool bold = false) {
        QFont font = painter.font();
        font.setBold(bold);
        painter.setFont(font);
        painter.setPen(QColor(Qt::black));
        painter.drawText(line, Qt::AlignLeft | Qt::AlignVCenter,
                         QFontMetrics(font).elidedText(words, Qt::ElideMiddle, line.width()));
        line.translate(0, lineHeight);
    };
    write("COM " + QString::number(m_view.number), true);
    write(text(m_view.device));
    write(m_view.adapter.empty() ? QString("no USB adapter information") : text(m_view.adapter));

    // The bar is drawn plainly: the style's own costs twice the rest of the
    // tile, sixteen tiles ten times a second.
    const QRect bar = line.adjusted(0, 1, 0, -1);
    const int pages = std::max(1, m_view.pages);
    painter.setPen(palette().color(QPalette::Mid));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawRect(bar);
    QRect done = bar.adjusted(1, 1, -1, -1);
    done.setWidth(done.width() * std::min(m_view.page, pages) / pages);
    painter.fillRect(done, palette().color(QPalette::Highlight).lighter(160));
    painter.setPen(QColor(Qt::black));
    painter.drawText(bar, Qt::AlignCenter,
                     m_view.pages > 0 ? QString("page %1 of %2").arg(m_view.page).arg(m_view.pages)
                                      : QString("no pages yet"));
    line.translate(0, lineHeight);

    write(text(m_view.state), true);
    write(text(m_view.problem));
    // No time before the port's first attempt.
    const QString taken = formatDuration(m_view.elapsed);
    write((taken.isEmpty() ? QString() : taken + "   ") +
          QString("complete %1, failed %2").arg(m_view.complete).arg(m_view.failed));
}

}  // namespace oxu::station
