#include "station/station_window.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "oxu_version.h"
#include "runs/run_setup.h"
#include "station/tile_widget.h"

namespace oxu::station {
namespace {

constexpr int kMaxColumns = 4;
constexpr std::chrono::milliseconds kTimeout{10'000};

QString qt(const std::string& text) {
    return QString::fromStdString(text);
}

QPushButton* makeButton(const QString& text, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setAccessibleName(name);
    return button;
}

}  // namespace

struct StationWindow::Run {
    std::unique_ptr<runs::PreparedRun> prepared;
    std::unique_ptr<runs::Scheduler> scheduler;
};

StationWindow::StationWindow(StationOptions options, const std::vector<runs::PlannedPort>& ports,
                             StationParts parts, QWidget* parent)
    : QWidget(parent),
      m_options(std::move(options)),
      m_ports(ports),
      m_parts(parts),
      m_board(ports),
      m_refresh(parts.clock.makeAlarm([this] {
          showTiles(m_board.refresh(m_parts.clock.now()));
          paceRefresh();
      })) {
    setWindowTitle("OXU Station");
    auto* layout = new QVBoxLayout(this);

    auto* imageRow = new QHBoxLayout;
    m_image = new QLabel("no image chosen", this);
    m_image->setAccessibleName("Image");
    m_image->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_choose = makeButton("Choose &image…", "Choose image…", this);
    imageRow->addWidget(m_image, 1);
    imageRow->addWidget(m_choose);
    layout->addLayout(imageRow);

    m_log = new QLabel(this);
    m_log->setAccessibleName("Audit log");
    if (m_options.logPath) {
        m_log->setText("Audit log: " + qt(*m_options.logPath));
    } else {
        // A supervisor must see at a glance that nothing is being recorded.
        m_log->setText("NO AUDIT LOG: results are not recorded (start with --log FILE)");
        m_log->setStyleSheet(
            "QLabel { background: #c62828; color: white; font-weight: bold; "
            "padding: 4px; }");
    }
    layout->addWidget(m_log);

    auto* grid = new QGridLayout;
    const int count = static_cast<int>(m_board.ports().size());
    const int columns = std::clamp(
        static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count)))), 1, kMaxColumns);
    for (int i = 0; i < count; ++i) {
        auto* tile = new TileWidget(this);
        tile->setView(m_board.ports()[static_cast<std::size_t>(i)]);
        grid->addWidget(tile, i / columns, i % columns);
        m_tiles.push_back(tile);
    }
    if (count == 0)
        grid->addWidget(
            new QLabel("No serial port found: plug in an adapter and start again, "
                       "or name one with --device.",
                       this));
    layout->addLayout(grid, 1);

    auto* buttons = new QHBoxLayout;
    m_start = makeButton("&Start", "Start", this);
    m_station = makeButton("Station &mode", "Station mode", this);
    m_stop = makeButton("S&top", "Stop", this);
    m_tally = new QLabel(qt(runs::describeTally(m_board.tally())), this);
    m_tally->setAccessibleName("Tally");
    QFont tallyFont = m_tally->font();
    tallyFont.setBold(true);
    tallyFont.setPointSizeF(tallyFont.pointSizeF() * 1.2);
    m_tally->setFont(tallyFont);
    for (QPushButton* button : {m_start, m_station, m_stop})
        buttons->addWidget(button);
    buttons->addStretch(1);
    buttons->addWidget(m_tally);
    layout->addLayout(buttons);

    m_message = new QLabel(this);
    m_message->setAccessibleName("Messages");
    m_message->setWordWrap(true);
    m_message->setStyleSheet("QLabel { color: #b71c1c; font-weight: bold; }");
    layout->addWidget(m_message);

    connect(m_choose, &QPushButton::clicked, this, &StationWindow::chooseImage);
    connect(m_start, &QPushButton::clicked, this, [this] { startRun(false); });
    connect(m_station, &QPushButton::clicked, this, [this] { startRun(true); });
    connect(m_stop, &QPushButton::clicked, this, [this] { stopRun(); });

    if (m_options.image) {
        try {
            showImage(runs::ImageSnapshot::take(*m_options.image));
        } catch (const std::exception& failure) {
            m_options.image.reset();
            showMessage(failure.what());
        }
    }
    updateButtons();
}

StationWindow::~StationWindow() = default;

bool StationWindow::running() const {
    return m_run && m_run->scheduler && !m_run->scheduler->finished();
}

void StationWindow::startRun(bool station) {
    if (running())
        return;
    if (!m_options.image) {
        showMessage("Choose an image first.");
        return;
    }
    runs::RunRequest request{
        {},       *m_options.image,  m_options.logPath, station, m_options.baud,
        kTimeout, m_options.retries, kProgramName,      kVersion};
    for (const runs::PlannedPort& port : m_ports) {
        if (port.used)
            request.ports.push_back(port.request);
    }
    // The image is read once, here; every attempt of the run sends those bytes.
    m_run.reset();
    try {
        m_run = std::make_unique<Run>(Run{runs::prepareRun(request), nullptr});
    } catch (const runs::RunNotStarted& failure) {
        showMessage(QString("The run could not start: ") + failure.what());
        return;
    }
    const runs::PreparedRun& prepared = *m_run->prepared;
    showImage(prepared.image);
    showMessage({});
    m_run->scheduler = std::make_unique<runs::Scheduler>(
        prepared.setup, prepared.image,
        runs::SchedulerParts{m_parts.ports, m_parts.clock, *this, prepared.sinks(),
                             &m_parts.presence});
    m_run->scheduler->setFinishedHandler([this] { runDone(); });
    updateButtons();
    m_run->scheduler->start();
}

void StationWindow::stopRun(runs::Interruption why) {
    if (running())
        m_run->scheduler->interrupt(why);
}

void StationWindow::chooseImage() {
    if (running()) {
        showMessage("The image cannot change during a run: press Stop first.");
        return;
    }
    const QString path = pickImageFile();
    if (path.isEmpty())
        return;
    try {
        const std::string file = path.toStdString();
        showImage(runs::ImageSnapshot::take(file));
        m_options.image = file;
        showMessage({});
    } catch (const std::exception& failure) {
        showMessage(failure.what());
    }
    updateButtons();
}

void StationWindow::stopAndClose() {
    m_closeWhenDone = true;
    if (running())
        stopRun(runs::Interruption::Signal);
    else
        close();
}

void StationWindow::closeEvent(QCloseEvent* event) {
    if (!running()) {
        event->accept();
        return;
    }
    event->ignore();
    // Asked once; the window closes by itself when the run has finished.
    if (m_closeWhenDone)
        return;
    const std::size_t count = m_run->prepared->setup.ports.size();
    const QString ports = count == 1 ? "1 port" : QString("%1 ports").arg(count);
    if (!askYesNo("Stop the run on " + ports + "?"))
        return;
    m_closeWhenDone = true;
    stopRun();
    if (!running())
        event->accept();
}

bool StationWindow::askYesNo(const QString& question) {
    return QMessageBox::question(this, windowTitle(), question) == QMessageBox::Yes;
}

QString StationWindow::pickImageFile() {
    return QFileDialog::getOpenFileName(this, "Choose image", {},
                                        "Firmware images (*.bin *.BIN);;All files (*)");
}

void StationWindow::onRunEvent(const runs::RunEvent& event) {
    const std::vector<std::size_t> changed = m_board.apply(event, m_parts.clock.now());
    showTiles(changed);
    paceRefresh();
    if (const auto* failed = std::get_if<runs::CloseFailed>(&event))
        showMessage(qt(failed->description));
    else if (const auto* lost = std::get_if<runs::RecordNotWritten>(&event))
        showMessage("A record was not written: " + qt(lost->reason));
    else if (const auto* changed = std::get_if<runs::ImageChanged>(&event))
        showMessage(qt(changed->path) +
                    " changed on disk during the run; every port gets it as it was read at the "
                    "start.");
    if (!changed.empty())
        m_tally->setText(qt(runs::describeTally(m_board.tally())));
}

void StationWindow::showTiles(const std::vector<std::size_t>& tiles) {
    for (std::size_t index : tiles) {
        const runs::PortView& view = m_board.ports()[index];
        const bool newLine = m_tiles[index]->view().state != view.state;
        m_tiles[index]->setView(view);
        if (newLine)
            emit tileChanged(view.number, qt(view.state));
    }
}

void StationWindow::paceRefresh() {
    if (!m_board.wantsRefresh())
        m_refresh->stop();
    else if (!m_refresh->active())
        m_refresh->start(runs::PortBoard::kRefreshInterval);
}

void StationWindow::runDone() {
    updateButtons();
    emit runFinished(m_run->scheduler->summary().exitCode);
    // Not from inside the run's own call.
    if (m_closeWhenDone)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void StationWindow::showImage(const runs::ImageSnapshot& image) {
    m_image->setText(
        QString("%1 — %2 bytes, %3 pages, SHA-256 %4")
            .arg(QFileInfo(qt(image.path())).fileName(), qt(runs::groupThousands(image.size())))
            .arg(image.pages())
            .arg(qt(image.sha256().substr(0, 12))));
}

void StationWindow::showMessage(const QString& text) {
    if (m_message->text() == text)
        return;
    m_message->setText(text);
    emit messageShown(text);
}

void StationWindow::updateButtons() {
    const bool busy = running();
    const bool ready = m_options.image.has_value() &&
                       std::any_of(m_ports.begin(), m_ports.end(),
                                   [](const runs::PlannedPort& port) { return port.used; });
    m_start->setEnabled(!busy && ready);
    m_station->setEnabled(!busy && ready);
    m_stop->setEnabled(busy);
}

}  // namespace oxu::station
