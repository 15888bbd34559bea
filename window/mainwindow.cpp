#include "mainwindow.h"

#include "messageedit.h"
#include "messagetext.h"
#include "pacedsender.h"
#include "portselection.h"
#include "serialerror.h"

#include "rq204-upload.xpm"

#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

namespace {

// The window was laid out in twips, 15 to a pixel at 96 dpi; Qt scales for other densities.
constexpr int Twips = 15;

QRect twips(int left, int top, int width, int height)
{
    return QRect(left / Twips, top / Twips, width / Twips, height / Twips);
}

// GNOME's and Adwaita's error red: dark enough to read on a white field.
const QColor ErrorColour(0xc0, 0x1c, 0x28);

} // namespace

template <typename Handler> void MainWindow::guarded(Handler &&handler)
{
    try {
        handler();
    } catch (const std::exception &error) {
        tell(QString::fromStdString(error.what()));
    }
}

const QString MainWindow::Caption = QStringLiteral("RQ204 Message upload utility");

const QString MainWindow::HelpText = QStringLiteral(
    "This utility allows you to send a message of up to 124 characters to the RQ204.  Make sure "
    "to select the correct serial port.  Connect the serial port of the PC to the serial input "
    "of the RQ204 (9 pole SubD, pin 5 = GND, pin 3 = Rx).  Hold the 'DOWN'-button of the RQ204 "
    "while turning on the unit to select 'message upload'-mode.  The RQ204 will display "
    "'RS232 -> RQ204'.  Enter your message and click 'Send to LCD'.  The RQ204 display shows the "
    "received characters.  When the last character is received, the RQ204 starts displaying "
    "your message.");

MainWindow::MainWindow(SerialControl::PortResolver resolver, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      m_comm(std::move(resolver)), m_sender(new PacedSender(m_comm, this))
{
    setObjectName(QStringLiteral("form1"));
    setWindowTitle(Caption);
    // Compiled in: loading it as a file would make Qt load every image plugin to find the one
    // that reads XPM.
    setWindowIcon(QIcon(QPixmap(rq204_upload)));
    setFixedSize(6810 / Twips, 3120 / Twips);
    buildControls();
    fitCaptions();

    // Each handled event runs one operation; whatever it throws ends there, told to the user.
    const auto handler = [this](void (MainWindow::*operation)()) {
        return [this, operation] { guarded([this, operation] { (this->*operation)(); }); };
    };
    connect(m_text1, &QPlainTextEdit::textChanged, this, handler(&MainWindow::updateCounter));
    connect(m_command6, &QPushButton::clicked, this, handler(&MainWindow::clearMessage));
    connect(m_command2, &QPushButton::clicked, this, handler(&MainWindow::startUpload));
    connect(m_command1, &QPushButton::clicked, this, handler(&MainWindow::showHelp));
    connect(m_combo1, &QComboBox::editTextChanged, this, handler(&MainWindow::selectPort));
    connect(m_combo1, &QComboBox::activated, this, handler(&MainWindow::selectPort));
    connect(m_sender, &PacedSender::progressed, this, &MainWindow::showProgress);
    connect(m_sender, &PacedSender::failed, this, [this](const QString &message) {
        m_progress->hide();
        if (!m_comm.portOpen())
            markSelector(m_comm.notOpenReason());
        tell(message);
    });

    guarded([this] { load(); });
}

MainWindow::~MainWindow()
{
    shutDown();
}

void MainWindow::buildControls()
{
    m_label1 = new QLabel(QStringLiteral("Choose serial port"), this);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setGeometry(twips(480, 480, 1335, 255));

    m_combo1 = new QComboBox(this);
    m_combo1->setObjectName(QStringLiteral("Combo1"));
    m_combo1->setGeometry(twips(1920, 480, 615, 315));
    m_combo1->setEditable(true);
    // The list is what the probe found and stays so: Enter adds nothing, and no completion
    // may turn a typed "1" into something else behind the user's back.
    m_combo1->setInsertPolicy(QComboBox::NoInsert);
    m_combo1->setCompleter(nullptr);
    m_combo1->setToolTip(QStringLiteral("Select the serial port"));
    m_label1->setBuddy(m_combo1);

    m_label2 = new QLabel(QStringLiteral("Label2"), this);
    m_label2->setObjectName(QStringLiteral("Label2"));
    m_label2->setGeometry(twips(3240, 480, 3135, 375));
    m_label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_label2->setToolTip(QStringLiteral(
        "Total memory = 124 characters.  This counter shows the # of characters left"));

    m_label3 = new QLabel(QStringLiteral("'$' adds a pause"), this);
    m_label3->setObjectName(QStringLiteral("Label3"));
    m_label3->setGeometry(twips(5040, 1080, 1335, 255));
    m_label3->setToolTip(QStringLiteral("Put a '$' anywhere in your text to pause the scrolling "));

    m_text1 = new MessageEdit(this);
    m_text1->setObjectName(QStringLiteral("Text1"));
    m_text1->setGeometry(twips(360, 1200, 3975, 1605));
    m_text1->setToolTip(QStringLiteral("Textbox.  Enter your message here"));

    m_command1 = new QPushButton(QStringLiteral("Help"), this);
    m_command1->setObjectName(QStringLiteral("Command1"));
    m_command1->setGeometry(twips(5040, 1440, 1335, 375));
    m_command1->setToolTip(QStringLiteral("About this utility"));

    m_command6 = new QPushButton(QStringLiteral("Clear"), this);
    m_command6->setObjectName(QStringLiteral("Command6"));
    m_command6->setGeometry(twips(5040, 1920, 1335, 375));
    m_command6->setToolTip(QStringLiteral("Clear the textbox"));

    m_command2 = new QPushButton(QStringLiteral("Send to LCD"), this);
    m_command2->setObjectName(QStringLiteral("Command2"));
    m_command2->setGeometry(twips(5040, 2400, 1335, 375));
    m_command2->setToolTip(QStringLiteral("Click to send the message to the RQ204"));

    // Lives in the empty strip under the text box and only while an upload runs, so the idle
    // window is exactly the classic one.
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("UploadProgress"));
    m_progress->setGeometry(360 / Twips, 2880 / Twips, 3975 / Twips, 6);
    m_progress->setTextVisible(false);
    m_progress->setAccessibleName(QStringLiteral("Upload progress"));
    m_progress->hide();

    setTabOrder(m_text1, m_combo1);
    setTabOrder(m_combo1, m_command6);
    setTabOrder(m_command6, m_command2);
    setTabOrder(m_command2, m_command1);
    m_text1->setFocus();
}

bool MainWindow::captionsFit(const QFont &font) const
{
    const QFontMetrics metrics(font);
    // The counter is measured at its widest caption, not at what it shows now.
    const std::pair<const QLabel *, QString> labels[] = {
        {m_label1, m_label1->text()}, {m_label2, counterCaption(0)}, {m_label3, m_label3->text()}};
    for (const auto &[label, caption] : labels) {
        if (metrics.horizontalAdvance(caption) > label->width() ||
            metrics.height() > label->height())
            return false;
    }
    // Room for the button's frame and a little air on either side of the caption.
    const int buttonMargins = 2 * style()->pixelMetric(QStyle::PM_ButtonMargin) + 4;
    for (const QPushButton *button : {m_command1, m_command6, m_command2}) {
        if (metrics.horizontalAdvance(button->text()) + buttonMargins > button->width())
            return false;
    }
    return true;
}

void MainWindow::fitCaptions()
{
    // The layout was drawn for an 8-point system font. Where the desktop's default font is
    // larger, the window keeps the default family at the largest size at which no caption is
    // cut off.
    QFont font = this->font();
    if (captionsFit(font))
        return;
    while (font.pointSizeF() > 6 && !captionsFit(font))
        font.setPointSizeF(font.pointSizeF() - 0.5);
    setFont(font);
}

void MainWindow::load()
{
    updateCounter();
    m_sender->timer().stop();
    showProbedPorts();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    shutDown();
    event->accept();
}

void MainWindow::shutDown()
{
    // Whatever was left of an upload is cut here: no byte may follow the close.
    m_sender->timer().stop();
    if (m_comm.portOpen())
        m_comm.setPortOpen(false);
}

void MainWindow::updateCounter()
{
    m_label2->setText(counterCaption(m_text1->message().size()));
}

void MainWindow::clearMessage()
{
    m_text1->setMessage(QString());
}

void MainWindow::startUpload()
{
    m_sender->startUpload(m_text1->message());
}

void MainWindow::showProbedPorts()
{
    const QList<ProbedPort> entries = probePorts(m_comm);
    {
        // Filling an empty editable list would put its first entry into the text and open
        // the port early; the selection below is the one that counts.
        const QSignalBlocker blocker(m_combo1);
        for (const ProbedPort &port : entries) {
            m_combo1->addItem(port.entry);
            m_combo1->setItemData(m_combo1->count() - 1, port.toolTip, Qt::ToolTipRole);
        }
        m_combo1->setCurrentIndex(-1);
        m_combo1->clearEditText();
    }
    // Setting the first entry as current changes the text, which selects the port. With
    // nothing found the selector stays empty: there is nothing to open and nothing the user
    // could do about it before choosing a port.
    if (!entries.isEmpty())
        m_combo1->setCurrentIndex(0);
    else
        m_comm.setNotOpenReason(
            QStringLiteral("no serial port was found; type a port number or a device path "
                           "into the port box"));
}

void MainWindow::selectPort()
{
    try {
        ::selectPort(m_comm, m_combo1->currentText());
        markSelector(QString());
    } catch (const SerialError &error) {
        // No box while typing: each keystroke selects, and "12" tries port 1 on the way. The
        // reason is kept by the serial control and told when the user sends.
        markSelector(error.message());
    }
}

void MainWindow::markSelector(const QString &problem)
{
    QLineEdit *edit = m_combo1->lineEdit();
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Text,
                     problem.isEmpty() ? QPalette().color(QPalette::Text) : ErrorColour);
    edit->setPalette(palette);
    m_combo1->setAccessibleDescription(problem);
}

void MainWindow::showHelp()
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Help"), HelpText, QMessageBox::Ok, this);
    box.exec();
}

void MainWindow::showProgress(int sent, int total)
{
    m_progress->setRange(0, total);
    m_progress->setValue(sent);
    m_progress->setVisible(m_sender->isSending());
}

void MainWindow::tell(const QString &message)
{
    auto *box = new QMessageBox(QMessageBox::Warning, Caption, message, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->open();
}
