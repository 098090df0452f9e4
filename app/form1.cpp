#include "app/form1.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QToolTip>
#include <cstdlib>

#include "app/app_setup.h"
#include "app/message_box.h"
#include "app/port_list_accessible.h"
#include "protocol/download_command.h"
#include "protocol/firmware_image.h"
#include "protocol/line_choices.h"
#include "serial/line_control.h"
#include "serial/port_mapping.h"
#include "serial/qt_serial_port.h"

namespace oxu {
namespace {

constexpr int kTwipsPerPixel = 15;

// Positions are laid out in twips; the window is drawn at 15 twips a pixel.
constexpr int pixelsFromTwips(int twips) {
    return (2 * twips + kTwipsPerPixel) / (2 * kTwipsPerPixel);
}

QRect rectFromTwips(int left, int top, int width, int height) {
    return QRect(pixelsFromTwips(left), pixelsFromTwips(top), pixelsFromTwips(width),
                 pixelsFromTwips(height));
}

constexpr double kButtonPointSize = 9.75;
constexpr double kDownloadButtonPointSize = 8.25;

QPushButton* makeButton(QWidget* parent, const char* name, const char* text, const QRect& rect,
                        const QFont& font) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(rect);
    button->setFont(font);
    // No button answers Enter or Escape for the window: Enter on "Cancel"
    // must not end the program.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

// An option button captioned with the baud rate of its line choice.
QRadioButton* makeOption(QGroupBox* frame, const char* name, BaudOption choice, const QRect& rect) {
    auto* option = new QRadioButton(QString::number(findLineChoice(choice)->baud), frame);
    option->setObjectName(QString::fromLatin1(name));
    option->setGeometry(rect);
    return option;
}

// A label whose size follows its text, on a transparent background.
QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, const QRect& rect) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(rect);
    label->setAutoFillBackground(false);
    label->setAttribute(Qt::WA_TranslucentBackground);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(false);
    label->adjustSize();
    return label;
}

}  // namespace

Form1::Form1(SerialPort* port, Clock* clock, QWidget* parent)
    : QWidget(parent),
      m_ownedPort(port ? nullptr : std::make_unique<QtSerialPort>()),
      m_ownedClock(clock ? nullptr : std::make_unique<SteadyClock>()),
      m_update(port ? *port : *m_ownedPort, *this, clock ? *clock : *m_ownedClock) {
    MSComm1 = &m_update.port();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kWindowTitle));
    // Fixed single border: a minimize box and a close box, no maximize.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    installFontFallbacks();
    setFont(baseFont());
    buildControls();
    wireEvents();
    load();
}

Form1::~Form1() {
    // The update takes its handlers off the port as it goes: an injected
    // port may outlive this window.
    Timer1->stop();
}

void Form1::buildControls() {
    const QFont buttonFont = verdanaFont(kButtonPointSize, true);

    // Created in tab order, which is also the focus chain order.
    Command1 =
        makeButton(this, "Command1", "Cancel", rectFromTwips(3170, 1680, 1455, 375), buttonFont);

    installPortListAccessibility();
    Combo1 = new QComboBox(this);
    Combo1->setObjectName(QString::fromLatin1(kPortListName));
    Combo1->setEditable(false);
    for (int number = kFirstPortNumber; number <= kLastPortNumber; ++number)
        Combo1->addItem(QString::number(number));
    Combo1->setGeometry(rectFromTwips(3720, 435, 855, 315));

    Frame1 = new QGroupBox(QStringLiteral("BAUD Rate"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(rectFromTwips(120, 240, 2535, 615));

    Option2 = makeOption(Frame1, "Option2", BaudOption::Option2, rectFromTwips(120, 280, 855, 195));
    Option3 = makeOption(Frame1, "Option3", BaudOption::Option3, rectFromTwips(840, 280, 975, 195));
    Option4 =
        makeOption(Frame1, "Option4", BaudOption::Option4, rectFromTwips(1680, 280, 800, 195));
    m_baudGroup = new QButtonGroup(this);
    m_baudGroup->setExclusive(true);
    for (QRadioButton* option : {Option2, Option3, Option4})
        m_baudGroup->addButton(option);

    Label1 =
        makeLabel(this, "Label1", QStringLiteral("Comm Port"), rectFromTwips(2880, 495, 780, 195));

    Command2 =
        makeButton(this, "Command2", "Update", rectFromTwips(120, 1680, 1455, 375), buttonFont);

    Label2 = makeLabel(this, "Label2", QString(), rectFromTwips(240, 1380, 720, 240));
    Label2->setFont(buttonFont);

    Label3 = makeLabel(this, "Label3", QString::fromLatin1(kCreditText),
                       rectFromTwips(1920, 0, 2775, 195));
    QPalette creditPalette = Label3->palette();
    creditPalette.setColor(QPalette::WindowText, QColor(128, 128, 128));
    Label3->setPalette(creditPalette);

    Command3 =
        makeButton(this, "Command3", "Send Download Command", rectFromTwips(120, 960, 2535, 375),
                   verdanaFont(kDownloadButtonPointSize, false));

    QWidget* const tabOrder[] = {Command1, Combo1,   Frame1, Option2, Option3, Option4,
                                 Label1,   Command2, Label2, Label3,  Command3};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kTimerIntervalMs);
    Timer1->setTimerType(Qt::PreciseTimer);

    CommonDialog1 = new CommonDialog(this);
    CommonDialog1->setObjectName(QStringLiteral("CommonDialog1"));

    setAccessibleTexts();
}

void Form1::setAccessibleTexts() {
    // What a screen reader says for each control; what the window shows stays
    // as it is.
    // The port list is read as "Comm Port" with the number shown as its value
    // (see port_list_accessible.h); the label names it too, for readers that
    // follow labels. Its description is its tooltip, which names the device
    // the number maps to.
    Combo1->setAccessibleName(Label1->text());
    Label1->setBuddy(Combo1);

    Frame1->setAccessibleName(Frame1->title());
    const struct {
        QRadioButton* option;
        BaudOption baud;
    } options[] = {{Option2, BaudOption::Option2},
                   {Option3, BaudOption::Option3},
                   {Option4, BaudOption::Option4}};
    for (const auto& [option, baud] : options) {
        option->setAccessibleName(option->text());
        option->setAccessibleDescription(
            QStringLiteral("%1 baud, 8 data bits, no parity, 1 stop bit")
                .arg(findLineChoice(baud)->baud));
    }

    Command1->setAccessibleName(Command1->text());
    Command1->setAccessibleDescription(
        QStringLiteral("Ends the program at once, whatever is in progress"));
    Command2->setAccessibleName(Command2->text());
    Command2->setAccessibleDescription(
        QStringLiteral("Chooses a firmware file and sends it to the device"));
    Command3->setAccessibleName(Command3->text());
    Command3->setAccessibleDescription(
        QStringLiteral("Asks for confirmation, then sends the device its download command"));

    // The status line's name is left unset so that it is always its text:
    // QLabel then announces every new text itself (NameChanged), which
    // setStatus relies on.
    Label2->setAccessibleDescription(QStringLiteral("Progress of the update"));
}

void Form1::wireEvents() {
    connect(Command1, &QPushButton::clicked, this, [this] { endProgram(); });
    connect(Command2, &QPushButton::clicked, this, [this] { m_update.runUpdateCommand(); });
    connect(Command3, &QPushButton::clicked, this, [this] { runDownloadCommand(*MSComm1, *this); });
    connect(Timer1, &QTimer::timeout, this, [this] { m_update.tick(); });
    // Timer1 runs only while an update is watched; the transfer and the
    // watchdog decide when. An idle window is then never woken.
    setTickSwitch([this](bool run) {
        if (run)
            Timer1->start();
        else
            Timer1->stop();
    });
    connect(Combo1, &QComboBox::currentIndexChanged, this, [this] { refreshPortTooltip(); });
    Combo1->installEventFilter(this);
}

void Form1::load() {
    Option4->setChecked(true);
    Combo1->setCurrentIndex(Combo1->findText(QStringLiteral("1")));
    setStatus("");
    refreshPortTooltip();
    Command1->setFocus(Qt::OtherFocusReason);
}

Bytes Form1::Lire(const std::string& Fichier) {
    return oxu::Lire(Fichier);
}

std::string Form1::portText() const {
    return Combo1->currentText().toStdString();
}

BaudOption Form1::selectedBaud() const {
    if (Option2->isChecked())
        return BaudOption::Option2;
    if (Option3->isChecked())
        return BaudOption::Option3;
    if (Option4->isChecked())
        return BaudOption::Option4;
    return BaudOption::None;
}

void Form1::setStatus(const std::string& text) {
    const QString next = QString::fromStdString(text);
    const QFontMetrics metrics = Label2->fontMetrics();
    // From one page to the next only digits of equal width change, so the
    // label keeps its size; laying it out again on every page would cost
    // more than painting it.
    const bool sameWidth =
        metrics.horizontalAdvance(next) == metrics.horizontalAdvance(Label2->text());
    // Also tells assistive technology: the label's accessible name is its text.
    Label2->setText(next);
    if (!sameWidth)
        Label2->adjustSize();
    // Painted now: the receive handler serves the page right after this
    // call, and running the event loop here could interleave other events.
    Label2->repaint();
}

void Form1::endProgram() {
    // Nothing of the window may run after "Cancel"; the system closes the
    // port's descriptor (and Qt's stale lock file is taken over next time).
    // The driver's flags outlive the descriptor: they go back as the open
    // found them, in one call that does not wait for the line.
    restoreSavedLineFlags();
    std::_Exit(0);
}

QString Form1::portMappingText() const {
    bool isNumber = false;
    const int number = Combo1->currentText().toInt(&isNumber);
    const PortResolution resolution = resolvePort(isNumber ? number : 0);
    const QString name = QStringLiteral("COM %1").arg(resolution.number);
    if (resolution.found()) {
        const QString source =
            resolution.fromEnvironment
                ? QStringLiteral(" (from %1)")
                      .arg(QString::fromStdString(portVariableName(resolution.number)))
                : QString();
        return QStringLiteral("%1: %2%3")
            .arg(name, QString::fromStdString(resolution.device), source);
    }
    return QStringLiteral("%1: %2").arg(name, QString::fromStdString(resolution.problem));
}

void Form1::refreshPortTooltip() {
    Combo1->setToolTip(portMappingText());
}

Answer Form1::showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                             const std::optional<std::string>& title) {
    return runMessageBox(this, text, buttons, icon, title);
}

std::string Form1::showFileDialog(const std::string& filter) {
    // Paths are bytes on this system: hand them on in the file system's encoding.
    return QFile::encodeName(CommonDialog1->showOpen(this, QString::fromStdString(filter)))
        .toStdString();
}

void Form1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_centred)
        return;
    m_centred = true;
    if (QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void Form1::closeEvent(QCloseEvent* event) {
    // Closing the window is "Cancel".
    endProgram();
    event->accept();
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    // Adapters come and go: name the device as it is when the tip shows.
    if (watched == Combo1 && event->type() == QEvent::ToolTip)
        refreshPortTooltip();
    return QWidget::eventFilter(watched, event);
}

}  // namespace oxu
