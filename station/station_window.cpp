#include "station/station_window.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "oxu_version.h"
#include "runs/audit_log.h"
#include "runs/scheduler.h"
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
    runs::ImageSnapshot image;
    std::unique_ptr<runs::AuditLog> log;
    std::unique_ptr<runs::Scheduler> scheduler;
    std::size_t ports = 0;
};

StationWindow::StationWindow(StationOptions options, const std::vector<StationPort>& ports,
                             StationParts parts, QWidget* parent)
    : QWidget(parent),
      m_options(std::move(options)),
      m_ports(ports),
      m_parts(parts),
      m_board(ports) {
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
    const int count = static_cast<int>(m_board.tiles().size());
    const int columns = std::clamp(
        static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count)))), 1, kMaxColumns);
    for (int i = 0; i < count; ++i) {
        auto* tile = new TileWidget(this);
        tile->show(m_board.tiles()[static_cast<std::size_t>(i)]);
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
    m_tally = new QLabel(qt(describeTally(m_board.tally())), this);
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
    layout->addWidget(m_message);

    connect(m_choose, &QPushButton::clicked, this, &StationWindow::chooseImage);
    connect(m_start, &QPushButton::clicked, this, [this] { startRun(false); });
    connect(m_station, &QPushButton::clicked, this, [this] { startRun(true); });
    connect(m_stop, &QPushButton::clicked, this, &StationWindow::stopRun);

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
    std::vector<runs::PortRequest> requests;
    for (const StationPort& port : m_ports) {
        if (port.used)
            requests.push_back(port.request);
    }
    if (requests.empty()) {
        showMessage("No port to use: name one with --port or --device.");
        return;
    }
    if (const auto shared = runs::findSharedDevice(requests)) {
        showMessage(QString("COM %1 and COM %2 are the same device (%3); give each port its own.")
                        .arg(requests[shared->first].number)
                        .arg(requests[shared->second].number)
                        .arg(qt(shared->device)));
        return;
    }
    // The image is read once, here; every attempt of the run sends those bytes.
    m_run.reset();
    try {
        m_run = std::make_unique<Run>(Run{runs::ImageSnapshot::take(*m_options.image), {}, {}, 0});
        if (m_options.logPath)
            m_run->log = std::make_unique<runs::AuditLog>(*m_options.logPath);
    } catch (const std::exception& failure) {
        m_run.reset();
        showMessage(QString("The run could not start: ") + failure.what());
        return;
    }
    showImage(m_run->image);
    if (m_run->image.size() == 0) {
        showMessage("The run could not start: " + qt(m_run->image.path()) +
                    " is empty; choose the firmware image.");
        return;
    }
    showMessage({});

    runs::SchedulerSetup setup;
    setup.mode = station                ? runs::RunMode::Station
                 : requests.size() == 1 ? runs::RunMode::Single
                                        : runs::RunMode::Gang;
    setup.ports = requests;
    setup.baud = m_options.baud;
    setup.timeout = kTimeout;
    setup.retries = m_options.retries;
    setup.context = {kProgramName, kVersion, runs::hostName(), m_options.baud};
    setup.runId = runs::newRunId();
    std::vector<runs::RecordSink*> sinks;
    if (m_run->log)
        sinks.push_back(m_run->log.get());
    m_run->ports = requests.size();
    m_board.beginRun();
    m_run->scheduler = std::make_unique<runs::Scheduler>(
        setup, m_run->image,
        runs::SchedulerParts{m_parts.ports, m_parts.clock, *this, sinks, &m_parts.presence});
    m_run->scheduler->setFinishedHandler([this] { runDone(); });
    updateButtons();
    m_run->scheduler->start();
}

void StationWindow::stopRun() {
    if (running())
        m_run->scheduler->interrupt();
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
        stopRun();
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
    const QString ports = m_run->ports == 1 ? "1 port" : QString("%1 ports").arg(m_run->ports);
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
    for (std::size_t index : m_board.apply(event)) {
        const TileView& view = m_board.tiles()[index];
        m_tiles[index]->show(view);
        emit tileChanged(view.number, qt(view.state));
    }
    if (const auto* lost = std::get_if<runs::RecordNotWritten>(&event))
        showMessage("A record was not written: " + qt(lost->reason));
    else if (const auto* changed = std::get_if<runs::ImageChanged>(&event))
        showMessage(qt(changed->path) +
                    " changed on disk during the run; every port gets it as it was read at the "
                    "start.");
    m_tally->setText(qt(describeTally(m_board.tally())));
}

void StationWindow::runDone() {
    updateButtons();
    emit runFinished(m_run->scheduler->summary().exitCode);
    // Not from inside the run's own call.
    if (m_closeWhenDone)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void StationWindow::showImage(const runs::ImageSnapshot& image) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    m_image->setText(QString("%1 — %2 bytes, %3 pages, SHA-256 %4")
                         .arg(QFileInfo(qt(image.path())).fileName(),
                              english.toString(static_cast<qulonglong>(image.size())))
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
    const bool ready = m_options.image.has_value() && !m_ports.empty();
    m_start->setEnabled(!busy && ready);
    m_station->setEnabled(!busy && ready);
    m_stop->setEnabled(busy);
}

}  // namespace oxu::station
