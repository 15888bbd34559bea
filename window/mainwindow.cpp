#include "mainwindow.h"

#include "messagetext.h"
#include "portselection.h"
#include "rq204-upload.xpm"
#include "serialerror.h"
#include "ui_mainwindow.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QStyle>
#include <algorithm>

namespace {

// The layout was drawn for an 8-point system font with Arial's widths at 96 dpi, 11 pixels high.
// The window's pixels are the layout's at every scale, so the captions' sizes are in pixels.
constexpr int LayoutFontPixels = 11;
// The smallest a caption is made to fit; below it, it is cut off instead.
constexpr int SmallestFontPixels = 8;

// GNOME's and Adwaita's error red: dark enough to read on a white field.
const QColor ErrorColour(0xc0, 0x1c, 0x28);

const QString HelpText = QStringLiteral(
    "This utility allows you to send a message of up to 124 characters to the RQ204.  Make sure "
    "to select the correct serial port.  Connect the serial port of the PC to the serial input "
    "of the RQ204 (9 pole SubD, pin 5 = GND, pin 3 = Rx).  Hold the 'DOWN'-button of the RQ204 "
    "while turning on the unit to select 'message upload'-mode.  The RQ204 will display "
    "'RS232 -> RQ204'.  Enter your message and click 'Send to LCD'.  The RQ204 display shows the "
    "received characters.  When the last character is received, the RQ204 starts displaying "
    "your message.");

// Marks the message box that reports a failure.
const char ReportProperty[] = "rq204Report";

// How a screen reader is to take the program's windows: Qt calls a plain widget window a client
// area ("filler"). A report never takes the focus, and a screen reader reads an alert only when
// its window is activated; a notification it reads the moment it shows.
QAccessibleInterface *accessibleFor(const QString &className, QObject *object)
{
    if (className == u"MainWindow" && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
    if (className == u"QMessageBox" && object->property(ReportProperty).toBool())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Notification);
    return nullptr;
}

} // namespace

MainWindow::MainWindow(PortLister listPorts, const std::optional<QString> &initialPort,
                       QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      m_ui(std::make_unique<Ui::MainWindow>()), m_listPorts(std::move(listPorts)),
      m_portGiven(initialPort.has_value())
{
    // Before anything asks how to describe the window.
    QAccessible::installFactory(accessibleFor);
    m_ui->setupUi(this);
    // From the pixels in the program: reading an image file has Qt load every image plugin first.
    setWindowIcon(QPixmap(rq204_upload_xpm));
    m_ui->UploadProgress->hide();
    // Spoken by its label's caption rather than by the port it shows, and so is its editor.
    m_ui->Combo1->setAccessibleName(m_ui->Label1->text());
    m_ui->Combo1->lineEdit()->setAccessibleName(m_ui->Label1->text());
    fitCaptions();
    keepMessageFixedPitch();

    connect(m_ui->Text1, &QPlainTextEdit::textChanged, this,
            [this] { guarded(&MainWindow::updateCounter); });
    connect(m_ui->Command6, &QPushButton::clicked, this,
            [this] { guarded(&MainWindow::clearMessage); });
    connect(m_ui->Command2, &QPushButton::clicked, this,
            [this] { guarded(&MainWindow::startUpload); });
    connect(m_ui->Command1, &QPushButton::clicked, this,
            [this] { guarded(&MainWindow::showHelp); });
    connect(m_ui->Combo1, &PortBox::portNamed, this, [this] { guarded(&MainWindow::selectPort); });
    connect(&m_sender, &PacedSender::progressed, this, &MainWindow::showProgress);
    connect(&m_sender, &PacedSender::failed, this, &MainWindow::reportUploadFailure);
    connect(&m_comm, &SerialControl::portLost, this, &MainWindow::portLost);
    connect(&m_comm, &SerialControl::portOpened, this, [this] { markSelector(QString()); });

    guarded(&MainWindow::load);
    // The text change selects the port at once, one on the network too: nobody is typing.
    if (initialPort)
        m_ui->Combo1->setEditText(*initialPort);
    m_ui->Text1->setFocus();
}

MainWindow::~MainWindow()
{
    // QWidget's destructor closes the window after this one has run, and the controls signal
    // the focus they lose then; none of it may reach this window's handlers any more.
    for (QObject *child : findChildren<QObject *>())
        child->disconnect(this);
    shutDown();
}

void MainWindow::guarded(void (MainWindow::*operation)())
{
    try {
        (this->*operation)();
    } catch (const std::exception &error) {
        tell(QString::fromStdString(error.what()));
    }
}

void MainWindow::fitCaptions()
{
    // Each control with a caption at the widest caption it shows: the counter at its widest,
    // not at what it shows now.
    const QList<std::pair<QWidget *, QString>> captions = {
        {m_ui->Label1, m_ui->Label1->text()},     {m_ui->Label2, counterCaption(0)},
        {m_ui->Label3, m_ui->Label3->text()},     {m_ui->Command1, m_ui->Command1->text()},
        {m_ui->Command6, m_ui->Command6->text()}, {m_ui->Command2, m_ui->Command2->text()}};
    // A button needs room for its frame and a little air on either side of the caption.
    const int buttonMargins = 2 * style()->pixelMetric(QStyle::PM_ButtonMargin) + 4;
    const auto fits = [&](const QWidget *control, const QString &caption, const QFont &font) {
        const QFontMetrics metrics(font);
        if (qobject_cast<const QPushButton *>(control))
            return metrics.horizontalAdvance(caption) + buttonMargins <= control->width();
        return metrics.horizontalAdvance(caption) <= control->width() &&
               metrics.height() <= control->height();
    };
    const auto allFit = [&](const QFont &font) {
        return std::all_of(captions.cbegin(), captions.cend(),
                           [&](const auto &c) { return fits(c.first, c.second, font); });
    };
    // The desktop's own font stays where no caption is cut off at its size.
    if (allFit(font()))
        return;
    // Otherwise a family with the widths the layout was drawn for (Arial is not free; Liberation
    // Sans has its widths), at the largest size up to the desktop's at which all fit, but not
    // below the layout's.
    int size = QFontInfo(this->font()).pixelSize();
    QFont font = this->font();
    font.setPixelSize(size);
    for (const QString &family : {QStringLiteral("Liberation Sans"), QStringLiteral("Arial")}) {
        QFont candidate = font;
        candidate.setFamily(family);
        // What the system gives for the name is the family itself, not a stand-in.
        if (QFontInfo(candidate).family() == family) {
            font = candidate;
            break;
        }
    }
    while (size > LayoutFontPixels && !allFit(font))
        font.setPixelSize(--size);
    setFont(font);
    // A caption that still does not fit (neither family at hand) is made smaller on its own.
    for (const auto &[control, caption] : captions) {
        QFont own = font;
        int ownSize = size;
        while (ownSize > SmallestFontPixels && !fits(control, caption, own))
            own.setPixelSize(--ownSize);
        if (ownSize != size)
            control->setFont(own);
    }
}

void MainWindow::keepMessageFixedPitch()
{
    // The message box asks for Courier New, as the layout was drawn with it. A system without it
    // nor a face of its widths (wine; Linux without Liberation Mono) resolves the name, style
    // hint or not, to whatever it has: a proportional face, in which the message looks nothing
    // like the display's cells. A fixed-pitch face of the system's stands in there, judged by
    // its widths, as a generic name ("monospace") may itself resolve to a proportional face.
    const auto fixedPitch = [](const QFont &font) {
        const QFontMetrics metrics(font);
        return metrics.horizontalAdvance(u'i') == metrics.horizontalAdvance(u'M');
    };
    QFont font = m_ui->Text1->font();
    if (fixedPitch(font))
        return;
    const QStringList known{QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono"),
                            QStringLiteral("Cousine"), QStringLiteral("Consolas")};
    for (const QString &family : known + QFontDatabase::families()) {
        font.setFamilies({m_ui->Text1->font().family(), family});
        if (QFontDatabase::isFixedPitch(family) && fixedPitch(font)) {
            m_ui->Text1->setFont(font);
            return;
        }
    }
}

void MainWindow::load()
{
    updateCounter();
    m_sender.stop();
    probePorts();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    shutDown();
    event->accept();
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    // Escape that no control had a use for (the port box's list takes it first) closes the
    // report: a keyboard user's way to it that needs no window manager.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && m_report &&
        m_report->isVisible()) {
        m_report->close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::shutDown()
{
    // Whatever was left of an upload is cut here: no byte may follow the close.
    m_sender.stop();
    m_comm.setPortOpen(false);
}

void MainWindow::updateCounter()
{
    m_ui->Label2->setText(counterCaption(m_ui->Text1->message().size()));
}

void MainWindow::clearMessage()
{
    m_ui->Text1->setMessage(QString());
}

void MainWindow::startUpload()
{
    // A port on the network still being typed is tried now. Whatever closed the port (an adapter
    // unplugged, a program that held it), the port box still names it and it may be usable by
    // now: Send selects it once more, unless the box is empty.
    if (!m_ui->Combo1->nameWaitingPort() && !m_comm.portOpen() && !m_comm.portOpening() &&
        !m_ui->Combo1->currentText().trimmed().isEmpty())
        selectPort();
    m_sender.startUpload(m_ui->Text1->message());
}

void MainWindow::probePorts()
{
    // One reading of the host serves the probe and the first selection, so that both number the
    // ports alike; every later selection reads the host afresh, with adapters plugged in since.
    const HostPorts ports = m_listPorts();
    const Serial::ProbeResult probed = Serial::probePorts(m_comm, ports);
    if (probed.ports.isEmpty()) {
        // A PC of today has its adapter above port 2 (COM3, COM4…): the lowest such port goes
        // into the box as if typed, and the list stays empty. A port given on the command line
        // comes next anyway, and no device is opened only to be closed again.
        for (int number = 3; !m_portGiven && number <= ports.size(); ++number) {
            if (Serial::portAt(ports, number)) {
                const QSignalBlocker blocker(m_ui->Combo1);
                m_ui->Combo1->setEditText(QString::number(number));
                return selectPortAmong(ports);
            }
        }
        // With nothing found the selector stays empty: nothing to open until a port is named.
        m_portProblem = !probed.failure.isEmpty()
                            ? probed.failure
                            : QStringLiteral("no serial port was found; type a port number or a "
                                             "device path into the port box");
        return;
    }
    {
        // Filling an empty editable list puts its first entry into the text; the selection below
        // is the one that counts.
        const QSignalBlocker blocker(m_ui->Combo1);
        for (const Serial::ProbedPort &port : probed.ports) {
            m_ui->Combo1->addItem(port.entry);
            m_ui->Combo1->setItemData(m_ui->Combo1->count() - 1, port.toolTip, Qt::ToolTipRole);
        }
        m_ui->Combo1->setCurrentIndex(0);
    }
    // The first entry in the text is a change of it, which selects the port it names.
    selectPortAmong(ports);
}

void MainWindow::selectPort()
{
    selectPortAmong(m_listPorts());
}

void MainWindow::selectPortAmong(const HostPorts &ports)
{
    try {
        Serial::selectPort(m_comm, m_ui->Combo1->currentText(), ports);
        m_portProblem.clear();
    } catch (const SerialError &error) {
        // No box while typing: each keystroke selects, and "12" tries port 1 on the way. The
        // reason is kept and told when the user sends.
        m_portProblem = error.message();
    }
    markSelector(m_portProblem);
}

void MainWindow::portLost(const QString &reason)
{
    m_portProblem = reason;
    markSelector(reason);
}

void MainWindow::markSelector(const QString &problem)
{
    // Red for a port that can't be used; the placeholder's grey while a port on the network is
    // still connecting, which is no failure yet.
    const bool opening = problem.isEmpty() && m_comm.portOpening();
    QLineEdit *edit = m_ui->Combo1->lineEdit();
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Text, !problem.isEmpty() ? ErrorColour
                                     : opening ? QPalette().color(QPalette::PlaceholderText)
                                               : QPalette().color(QPalette::Text));
    edit->setPalette(palette);
    m_ui->Combo1->setAccessibleDescription(
        opening ? QStringLiteral("connecting to %1").arg(m_comm.portLabel()) : problem);
}

void MainWindow::showHelp()
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Help"), HelpText, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MainWindow::showProgress(int sent, int total)
{
    m_ui->UploadProgress->setRange(0, total);
    m_ui->UploadProgress->setValue(sent);
    m_ui->UploadProgress->setVisible(m_sender.isSending());
}

void MainWindow::reportUploadFailure(const QString &reason)
{
    m_ui->UploadProgress->hide();
    // A port that was closed before the byte has the reason its selection gave; one lost under
    // the upload brings its own.
    tell(uploadFailureText(m_sender.nextCharPos() - 1,
                           static_cast<int>(m_sender.pendingMessage().size()),
                           m_portProblem.isEmpty() ? reason : m_portProblem));
}

void MainWindow::tell(const QString &message)
{
    // One report at a time, instead of a stack of boxes to close: a failure repeated by every
    // Send says how often it happened, and a new one takes the place of the old. (A closed
    // report may wait for the event loop to delete it.)
    const bool showing = m_report && m_report->isVisible();
    m_reportRepeats = showing && message == m_reported ? m_reportRepeats + 1 : 1;
    m_reported = message;
    if (showing) {
        m_report->setText(m_reportRepeats == 1 ? message
                                               : QStringLiteral("%1\n\nThis happened %2 times.")
                                                     .arg(message)
                                                     .arg(m_reportRepeats));
        // Each time is the answer to something the user did: told again, as when it appeared.
        QAccessibleEvent shown(m_report, QAccessible::ObjectShow);
        QAccessible::updateAccessibility(&shown);
        return;
    }
    // A report comes on its own, mostly while the user types the next message or a port: it must
    // not take the keyboard, nor may a key meant for the text close it unread.
    m_report = new QMessageBox(QMessageBox::Warning, windowTitle(), message, QMessageBox::Ok, this);
    m_report->setProperty(ReportProperty, true);
    m_report->setTextFormat(Qt::PlainText);
    m_report->setAttribute(Qt::WA_DeleteOnClose);
    m_report->setAttribute(Qt::WA_ShowWithoutActivating);
    m_report->setWindowModality(Qt::NonModal);
    const bool wasActive = isActiveWindow();
    m_report->show();
    // Some platforms activate every window that shows; the keyboard goes back where it was.
    if (wasActive)
        activateWindow();
}
