#include "mainwindow.h"
#include "messageedit.h"
#include "pacedsender.h"
#include "ptydevice.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QStyleFactory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <memory>
#include <optional>
#include <vector>

// The whole window with pseudo-terminals as ports 1 and 2: start-up, port selection, layout,
// Help, failures and shutdown.
class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startUpWithBothPortsFree();
    void startUpWithPortGiven_data();
    void startUpWithPortGiven();
    void probe_data();
    void probe();
    void pickingAnotherPort();
    void selectionRuns_data();
    void selectionRuns();
    void failedSelectionIsMarkedAndToldAtSend();
    void devicePaths_data();
    void devicePaths();
    void networkPortTypedIsTriedWhole_data();
    void networkPortTypedIsTriedWhole();
    void portBoxShowsWhatItCannotHold_data();
    void portBoxShowsWhatItCannotHold();
    void uploadFollowsThePortSwitch();
    void layout_data();
    void layout();
    void fixedWindow();
    void focusChain_data();
    void focusChain();
    void help();
    void helpDuringUpload();
    void closingMidUploadCutsIt();
    void closingWithNoPortOpen();
    void reportLeavesTheKeyboardAlone_data();
    void reportLeavesTheKeyboardAlone();
    void lostPortIsNoticedAndTriedAgainAtSend();
    void portInUseWhenChosenIsTriedAgainAtSend();
    void repeatedFailuresShareOneReport();

private:
    void startWindow(const QStringList &ports,
                     const std::optional<QString> &initialPort = std::nullopt);
    QComboBox *combo1() const { return m_window->findChild<QComboBox *>("Combo1"); }
    void send(const QString &text);
    void tickToEnd();
    // The message boxes open now (they are closed by the caller).
    static QList<QMessageBox *> openBoxes();

    std::unique_ptr<PtyDevice> m_port1;
    std::unique_ptr<PtyDevice> m_port2;
    std::unique_ptr<MainWindow> m_window;
    QStringList m_host; // the devices of ports 1, 2, ... as the host lists them now
    int m_listings = 0; // how often the host's ports were read
};

namespace {

// The window's caption, which titles every report.
const QString Caption = QStringLiteral("RQ204 Message upload utility");

// Closes the modal box in front when it leaves its scope, so that a check failing while a box
// is open ends the test instead of leaving it waiting for a click.
auto closingModalBox()
{
    return qScopeGuard([] {
        if (QWidget *box = QApplication::activeModalWidget())
            box->close();
    });
}

} // namespace

void TestMainWindow::init()
{
    m_port1 = std::make_unique<PtyDevice>();
    m_port2 = std::make_unique<PtyDevice>();
    m_listings = 0;
}

void TestMainWindow::cleanup()
{
    for (QMessageBox *box : openBoxes())
        box->done(QMessageBox::Ok);
    m_window.reset();
    m_port2.reset();
    m_port1.reset();
}

void TestMainWindow::startWindow(const QStringList &ports,
                                 const std::optional<QString> &initialPort)
{
    m_host = ports;
    m_window = std::make_unique<MainWindow>(
        [this] {
            ++m_listings;
            return portsAt(m_host)();
        },
        initialPort);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestMainWindow::send(const QString &text)
{
    m_window->findChild<MessageEdit *>("Text1")->setMessage(text);
    QTest::mouseClick(m_window->findChild<QPushButton *>("Command2"), Qt::LeftButton);
}

void TestMainWindow::tickToEnd()
{
    for (int i = 0; i < 200 && m_window->pacedSender().isSending(); ++i)
        m_window->pacedSender().sendNextChar();
}

QList<QMessageBox *> TestMainWindow::openBoxes()
{
    QList<QMessageBox *> boxes;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
            boxes.append(box);
    }
    return boxes;
}

void TestMainWindow::startUpWithBothPortsFree()
{
    startWindow({m_port1->path(), m_port2->path()});
    QCOMPARE(combo1()->count(), 2);
    QCOMPARE(combo1()->itemText(0), QStringLiteral("1"));
    QCOMPARE(combo1()->itemText(1), QStringLiteral("2"));
    QCOMPARE(combo1()->itemData(0, Qt::ToolTipRole).toString(),
             m_port1->path() + QStringLiteral(" \u2014 pseudo-terminal"));
    QCOMPARE(combo1()->itemData(1, Qt::ToolTipRole).toString(),
             m_port2->path() + QStringLiteral(" \u2014 pseudo-terminal"));
    QCOMPARE(combo1()->currentText(), QStringLiteral("1"));
    QVERIFY(m_window->comm().portOpen());
    QCOMPARE(m_window->comm().portLabel(), QStringLiteral("port 1 (%1)").arg(m_port1->path()));
    QCOMPARE(m_port1->lineSettings().c_cflag & CBAUD, tcflag_t(B2400));
    // The probe and the selection of port 1 read the host's ports once.
    QCOMPARE(m_listings, 1);

    auto *text1 = m_window->findChild<MessageEdit *>("Text1");
    QCOMPARE(text1->message(), QString());
    QCOMPARE(QApplication::focusWidget(), text1);
    QCOMPARE(m_window->findChild<QLabel *>("Label2")->text(),
             QStringLiteral("124  characters remaining"));
    QVERIFY(!m_window->pacedSender().isSending());
    QVERIFY(m_window->findChild<QProgressBar *>()->isHidden());
    QVERIFY(openBoxes().isEmpty());
}

void TestMainWindow::probe_data()
{
    QTest::addColumn<bool>("port1"); // the device exists
    QTest::addColumn<bool>("port2");
    QTest::addColumn<QString>("inUse"); // the ports another program holds, "1", "12"
    QTest::addColumn<int>("above");     // the number of a third device, 0 for none
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("shown"); // the port box's text
    QTest::addColumn<QString>("told");  // what Send then reports; %1 is port 1's device

    QTest::newRow("both") << true << true << "" << 0 << QStringList{"1", "2"} << "1" << QString();
    QTest::newRow("only 2") << false << true << "" << 0 << QStringList{"2"} << "2" << QString();
    QTest::newRow("only 1") << true << false << "" << 0 << QStringList{"1"} << "1" << QString();
    QTest::newRow("neither")
        << false << false << "" << 0 << QStringList{} << ""
        << "The message was not sent: no serial port was found; type a port number or a device "
           "path into the port box.";
    QTest::newRow("1 in use") << true << true << "1" << 0 << QStringList{"2"} << "2" << QString();
    QTest::newRow("1 in use, no 2")
        << true << false << "1" << 0 << QStringList{} << ""
        << "The message was not sent: port 1 (%1) could not be opened: it is in use by another "
           "program.";
    // The lowest port above 2, as Windows numbers a USB adapter, is put in the box as if typed.
    QTest::newRow("neither, a 4") << false << false << "" << 4 << QStringList{} << "4" << QString();
    QTest::newRow("1 and 2 in use, a 3")
        << true << true << "12" << 3 << QStringList{} << "3" << QString();
    QTest::newRow("1 in use, no 2, a 5, in use")
        << true << false << "15" << 5 << QStringList{} << "5"
        << "The message was not sent: port 5 (%5) could not be opened: it is in use by another "
           "program.";
}

void TestMainWindow::probe()
{
    QFETCH(bool, port1);
    QFETCH(bool, port2);
    QFETCH(QString, inUse);
    QFETCH(int, above);
    QFETCH(QStringList, entries);
    QFETCH(QString, shown);
    QFETCH(QString, told);

    PtyDevice port3;
    QStringList host{port1 ? m_port1->path() : QString(), port2 ? m_port2->path() : QString()};
    if (above > 0) {
        host.resize(above);
        host[above - 1] = port3.path();
    }
    std::vector<std::unique_ptr<QtPortHolder>> otherProgram;
    for (const QChar number : inUse) {
        otherProgram.push_back(std::make_unique<QtPortHolder>(host.at(number.digitValue() - 1)));
        QVERIFY(otherProgram.back()->open());
    }
    startWindow(host);

    QStringList listed;
    for (int i = 0; i < combo1()->count(); ++i)
        listed.append(combo1()->itemText(i));
    QCOMPARE(listed, entries);
    QCOMPARE(combo1()->currentText(), shown);
    QCOMPARE(m_window->comm().portOpen(), !shown.isEmpty() && told.isEmpty());
    if (!shown.isEmpty())
        QCOMPARE(m_window->comm().commPort(), shown.toInt());
    // Opened once: by the selection, never by the probe, which takes 1 and 2 only.
    QCOMPARE(port3.opens(), above > 0 ? 1 : 0);
    QCOMPARE(m_listings, 1);
    QVERIFY(openBoxes().isEmpty()); // an empty list is no reason to complain
    QCOMPARE(m_port1->take() + m_port2->take(), QByteArray()); // probing sends nothing
    if (told.isEmpty())
        return;
    send(QStringLiteral("X"));
    tickToEnd();
    const QList<QMessageBox *> boxes = openBoxes();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first()->text(),
             told.replace(QStringLiteral("%1"), m_port1->path()).replace("%5", port3.path()));
}

void TestMainWindow::pickingAnotherPort()
{
    startWindow({m_port1->path(), m_port2->path()});
    combo1()->setFocus();
    QTest::keyClick(combo1(), Qt::Key_Down); // picks the next entry
    QCOMPARE(combo1()->currentText(), QStringLiteral("2"));
    QCOMPARE(m_window->comm().commPort(), 2);
    QVERIFY(m_window->comm().portOpen());
    const termios line = m_port2->lineSettings();
    QCOMPARE(line.c_cflag & CBAUD, tcflag_t(B2400));
    QCOMPARE(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));

    // Port 1 is free again: another program can have it.
    QtPortHolder otherProgram(m_port1->path());
    QVERIFY(otherProgram.open());
}

void TestMainWindow::selectionRuns_data()
{
    QTest::addColumn<QString>("typed"); // into the emptied port box; empty: nothing typed
    QTest::addColumn<int>("key");       // pressed after typing; 0: none
    QTest::addColumn<int>("picked");    // entry picked with the mouse; -1: none
    QTest::addColumn<int>("selections");
    QTest::addColumn<int>("open"); // the port open afterwards; 0: none
    // Devices opened: once per selection that names one, as every open of a UART raises DTR
    // and RTS and every close drops them, which resets boards.
    QTest::addColumn<int>("opens");

    // Each keystroke selects, so "12" tries port 1 on the way to port 12, which the host lacks.
    QTest::newRow("typing 12") << "12" << 0 << -1 << 2 << 0 << 1;
    // Ending the edit of a listed number selects nothing more: the keystroke already did.
    QTest::newRow("typing a listed number, then Enter")
        << "2" << int(Qt::Key_Return) << -1 << 1 << 2 << 1;
    QTest::newRow("typing a listed number, then Tab")
        << "2" << int(Qt::Key_Tab) << -1 << 1 << 2 << 1;
    // A pick changes the text and is a pick: the port is selected for each.
    QTest::newRow("picking another port") << "" << 0 << 1 << 2 << 2 << 2;
    QTest::newRow("picking the open port reopens it") << "" << 0 << 0 << 1 << 1 << 1;
}

void TestMainWindow::selectionRuns()
{
    QFETCH(QString, typed);
    QFETCH(int, key);
    QFETCH(int, picked);
    QFETCH(int, selections);
    QFETCH(int, open);
    QFETCH(int, opens);

    startWindow({m_port1->path(), m_port2->path()});
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QLineEdit *edit = combo1()->lineEdit();
    const auto allOpens = [this] { return m_port1->opens() + m_port2->opens(); };
    int opensBefore = allOpens();
    if (!typed.isEmpty()) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        m_listings = 0;
        opensBefore = allOpens();
        QTest::keyClicks(edit, typed);
        QCOMPARE(combo1()->currentText(), typed); // no completion, no insertion
        if (key != 0)
            QTest::keyClick(edit, Qt::Key(key));
    } else {
        m_listings = 0;
        combo1()->showPopup();
        QAbstractItemView *view = combo1()->view();
        QTRY_VERIFY(view->isVisible());
        const QRect item = view->visualRect(view->model()->index(picked, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
        QTRY_VERIFY(!view->isVisible());
    }
    QCOMPARE(m_listings, selections);
    QCOMPARE(allOpens() - opensBefore, opens);
    QCOMPARE(m_window->comm().portOpen(), open != 0);
    if (open != 0)
        QCOMPARE(m_window->comm().commPort(), open);
    QCOMPARE(combo1()->count(), 2);
}

void TestMainWindow::startUpWithPortGiven_data()
{
    QTest::addColumn<QString>("given"); // %1: a device that is not a numbered port
    QTest::addColumn<bool>("opens");
    QTest::addColumn<bool>("onlyAbove2"); // the host's only port is port 3

    QTest::newRow("number") << "2" << true << false;
    QTest::newRow("device path") << "%1" << true << false;
    QTest::newRow("missing port") << "7" << false << false;
    QTest::newRow("device path, the host's only port 3") << "%1" << true << true;
}

void TestMainWindow::startUpWithPortGiven()
{
    QFETCH(QString, given);
    QFETCH(bool, opens);
    QFETCH(bool, onlyAbove2);

    PtyDevice unnumbered;
    PtyDevice port3;
    given.replace(QStringLiteral("%1"), unnumbered.path());
    startWindow(onlyAbove2 ? QStringList{{}, {}, port3.path()}
                           : QStringList{m_port1->path(), m_port2->path()},
                given);
    QCOMPARE(combo1()->currentText(), given);
    QCOMPARE(combo1()->count(), onlyAbove2 ? 0 : 2); // the probe still lists what it found
    QCOMPARE(port3.opens(), 0); // port 3 is not opened on the way to the port given
    QCOMPARE(m_window->comm().portOpen(), opens);
    QCOMPARE(combo1()->accessibleDescription().isEmpty(), opens);
    send(QStringLiteral("Z"));
    tickToEnd();
    const QByteArray expected = opens ? QByteArray("Z\r") : QByteArray();
    QCOMPARE(m_port2->take() + unnumbered.take(), expected);
    QCOMPARE(m_port1->take(), QByteArray());
}

void TestMainWindow::failedSelectionIsMarkedAndToldAtSend()
{
    startWindow({m_port1->path(), m_port2->path()});
    QLineEdit *edit = combo1()->lineEdit();
    const QColor normal = edit->palette().color(QPalette::Text);
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("3"));
    QVERIFY(!m_window->comm().portOpen());
    QVERIFY(edit->palette().color(QPalette::Text) != normal);
    QCOMPARE(combo1()->accessibleDescription(),
             QStringLiteral("port 3 could not be opened: no such port"));
    QVERIFY(openBoxes().isEmpty()); // nothing pops up while typing

    send(QStringLiteral("HI"));
    m_window->pacedSender().sendNextChar();
    QVERIFY(!m_window->pacedSender().isSending());
    const QList<QMessageBox *> boxes = openBoxes();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first()->text(),
             QStringLiteral("The message was not sent: port 3 could not be opened: no such port."));
    QCOMPARE(boxes.first()->windowTitle(), Caption);
    QCOMPARE(boxes.first()->textFormat(), Qt::PlainText);
    boxes.first()->done(QMessageBox::Ok);
    QCOMPARE(m_port1->take(), QByteArray());

    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("2"));
    QVERIFY(m_window->comm().portOpen());
    QCOMPARE(edit->palette().color(QPalette::Text), normal);
    QCOMPARE(combo1()->accessibleDescription(), QString());
}

void TestMainWindow::devicePaths_data()
{
    QTest::addColumn<bool>("pty");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason"); // empty when the device opens

    QTest::newRow("pty") << true << QString() << QString();
    QTest::newRow("not a tty") << false << "/dev/null"
                               << "/dev/null could not be opened: it is not a serial device";
}

void TestMainWindow::devicePaths()
{
    QFETCH(bool, pty);
    QFETCH(QString, path);
    QFETCH(QString, reason);

    PtyDevice unnumbered;
    if (pty)
        path = unnumbered.path();
    startWindow({m_port1->path()});
    QLineEdit *edit = combo1()->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral(" ") + path);
    QCOMPARE(m_window->comm().portOpen(), reason.isEmpty());
    QCOMPARE(combo1()->accessibleDescription(), reason);

    send(QStringLiteral("P"));
    tickToEnd();
    QCOMPARE(unnumbered.take(), reason.isEmpty() ? QByteArray("P\r") : QByteArray());
    QCOMPARE(m_port1->take(), QByteArray());
}

void TestMainWindow::networkPortTypedIsTriedWhole_data()
{
    // Pressed after the last character; 0: none; -1: Send, pressed as a screen reader presses
    // it, the keyboard staying in the box.
    QTest::addColumn<int>("key");

    QTest::newRow("the typing pauses") << 0;
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("Tab, leaving the box") << int(Qt::Key_Tab);
    QTest::newRow("Send") << -1;
}

void TestMainWindow::networkPortTypedIsTriedWhole()
{
    QFETCH(int, key);

    // A listener on the port and one on every start of its number: "…:4001" passes 4, 40 and
    // 400 on the way, and over RFC 2217 a connection there sets another display's line. The
    // last is the port the box named before.
    std::vector<std::unique_ptr<QTcpServer>> listeners;
    QString number;
    for (int attempt = 0; attempt < 20 && listeners.empty(); ++attempt) {
        listeners.push_back(std::make_unique<QTcpServer>());
        QVERIFY(listeners.front()->listen(QHostAddress::LocalHost));
        number = QString::number(listeners.front()->serverPort());
        for (int digits = 1; digits <= number.size() && !listeners.empty(); ++digits) {
            listeners.push_back(std::make_unique<QTcpServer>());
            const quint16 port = digits < number.size() ? number.left(digits).toUShort() : 0;
            if (!listeners.back()->listen(QHostAddress::LocalHost, port))
                listeners.clear();
        }
    }
    if (listeners.empty())
        QSKIP("no port with every start of its number free (ports under 1024 need root)");
    QTcpServer &before = *listeners.back();

    startWindow({m_port1->path()});
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    const QString host = QStringLiteral("socket://127.0.0.1:");
    combo1()->setEditText(host + QString::number(before.serverPort()));
    QTRY_VERIFY(before.hasPendingConnections());
    before.nextPendingConnection();
    // The port's number typed over, at a typist's pace, with the event loop running between.
    QLineEdit *edit = combo1()->lineEdit();
    edit->setFocus();
    edit->setSelection(int(host.size()), 5);
    QTest::keyClicks(edit, number, {}, 20);
    if (key > 0)
        QTest::keyClick(edit, Qt::Key(key));
    if (key < 0) {
        m_window->findChild<MessageEdit *>("Text1")->setMessage(QStringLiteral("Hi"));
        QAccessible::queryAccessibleInterface(m_window->findChild<QPushButton *>("Command2"))
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::pressAction());
        QTRY_VERIFY(m_window->pacedSender().isSending());
    }
    QCOMPARE(m_window->comm().portLabel() == host + number, key != 0);

    QTRY_VERIFY(listeners.front()->hasPendingConnections());
    QTcpSocket *display = listeners.front()->nextPendingConnection();
    QByteArray received;
    if (key < 0)
        QTRY_COMPARE(received += display->readAll(), QByteArray("Hi\r"));
    QTest::qWait(100);
    for (const auto &listener : listeners)
        QVERIFY2(!listener->hasPendingConnections(),
                 qPrintable(QString::number(listener->serverPort())));
}

void TestMainWindow::portBoxShowsWhatItCannotHold_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown"); // while the box has no focus

    // The box's editor has 14 pixels for its text: a path keeps its start and loses its middle,
    // here all but the ellipsis.
    QTest::newRow("device path") << QStringLiteral("/dev/ttyUSB0") << QStringLiteral("\u2026");
    QTest::newRow("network port") << QStringLiteral("socket://[::1]:1") << QStringLiteral("\u2026");
    QTest::newRow("a number that fits") << QStringLiteral("12") << QStringLiteral("12");
}

void TestMainWindow::portBoxShowsWhatItCannotHold()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);

    startWindow({m_port1->path()});
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QLineEdit *edit = combo1()->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, text);
    QVERIFY(!edit->hasFocus());
    // Drawn as Qt's own box draws only what is shown, in the same colour (red: no such port).
    QComboBox plain;
    plain.setEditable(true);
    plain.setFont(combo1()->font());
    plain.resize(combo1()->size());
    plain.lineEdit()->setPalette(edit->palette());
    plain.setEditText(shown);
    plain.lineEdit()->setCursorPosition(0);
    const QImage unfocused = edit->grab().toImage();
    QCOMPARE(unfocused, plain.lineEdit()->grab().toImage());
    QCOMPARE(QAccessible::queryAccessibleInterface(combo1())->text(QAccessible::Value), text);
    // Hovered, what it cannot hold shows whole; what it can, the box's own tooltip.
    QHelpEvent hover(QEvent::ToolTip, edit->rect().center(),
                     edit->mapToGlobal(edit->rect().center()));
    QApplication::sendEvent(edit, &hover);
    QTRY_COMPARE(QToolTip::text(), shown == text ? QStringLiteral("Select the serial port") : text);
    QToolTip::hideText();

    // With the focus, the text as it is.
    edit->setFocus();
    QVERIFY(edit->hasFocus());
    if (shown != text)
        QVERIFY(edit->grab().toImage() != unfocused);

    // The list is as wide as its longest entry, also where a style makes it as wide as the box.
    const std::unique_ptr<QStyle> windows(QStyleFactory::create(QStringLiteral("Windows")));
    combo1()->setStyle(windows.get());
    combo1()->addItem(text);
    combo1()->showPopup();
    QAbstractItemView *list = combo1()->view();
    QTRY_VERIFY(list->isVisible());
    QVERIFY(list->window()->width() >= list->fontMetrics().horizontalAdvance(text));
    combo1()->hidePopup();
}

void TestMainWindow::uploadFollowsThePortSwitch()
{
    startWindow({m_port1->path(), m_port2->path()});
    send(QStringLiteral("ABCD"));
    m_window->pacedSender().sendNextChar();
    m_window->pacedSender().sendNextChar();
    combo1()->setFocus();
    QTest::keyClick(combo1(), Qt::Key_Down);
    QVERIFY(m_window->pacedSender().isSending());
    QVERIFY(m_window->findChild<QProgressBar *>()->isVisible());
    tickToEnd();
    QCOMPARE(m_port1->take(), QByteArray("AB"));
    QCOMPARE(m_port2->take(), QByteArray("CD\r"));
    QVERIFY(m_window->findChild<QProgressBar *>()->isHidden());
}

void TestMainWindow::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QString>("spoken"); // the name a screen reader speaks for it

    // Positions as laid out in twips, 15 to the pixel at 96 dpi.
    const auto twips = [](int left, int top, int width, int height) {
        return QRect(left / 15, top / 15, width / 15, height / 15);
    };
    QTest::newRow("Label1") << "Label1" << twips(480, 480, 1335, 255) << "Choose serial port"
                            << ""
                            << "Choose serial port";
    QTest::newRow("Combo1") << "Combo1" << twips(1920, 480, 615, 315) << "1"
                            << "Select the serial port"
                            << "Choose serial port";
    QTest::newRow("Label2")
        << "Label2" << twips(3240, 480, 3135, 375) << "124  characters remaining"
        << "Total memory = 124 characters.  This counter shows the # of characters left"
        << "124  characters remaining";
    QTest::newRow("Label3") << "Label3" << twips(5040, 1080, 1335, 255) << "'$' adds a pause"
                            << "Put a '$' anywhere in your text to pause the scrolling "
                            << "'$' adds a pause";
    QTest::newRow("Text1") << "Text1" << twips(360, 1200, 3975, 1605) << ""
                           << "Textbox.  Enter your message here"
                           << "Message";
    QTest::newRow("Command1") << "Command1" << twips(5040, 1440, 1335, 375) << "Help"
                              << "About this utility"
                              << "Help";
    QTest::newRow("Command6") << "Command6" << twips(5040, 1920, 1335, 375) << "Clear"
                              << "Clear the textbox"
                              << "Clear";
    QTest::newRow("Command2") << "Command2" << twips(5040, 2400, 1335, 375) << "Send to LCD"
                              << "Click to send the message to the RQ204"
                              << "Send to LCD";
}

void TestMainWindow::layout()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QFETCH(QString, spoken);

    startWindow({m_port1->path(), m_port2->path()});
    QWidget *control = m_window->findChild<QWidget *>(name);
    QVERIFY(control);
    QCOMPARE(control->geometry(), geometry);
    QCOMPARE(control->toolTip(), toolTip);
    QString shown;
    if (auto *label = qobject_cast<QLabel *>(control))
        shown = label->text();
    else if (auto *button = qobject_cast<QPushButton *>(control))
        shown = button->text();
    else if (auto *combo = qobject_cast<QComboBox *>(control))
        shown = combo->currentText();
    else if (auto *edit = qobject_cast<MessageEdit *>(control))
        shown = edit->message();
    QCOMPARE(shown, text);
    QCOMPARE(QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name), spoken);

    if (name == u"Text1") {
        QCOMPARE(control->font().family(), QStringLiteral("Courier New"));
        // Fixed pitch, whatever stands in for Courier New (CMakeLists.txt runs this on a system
        // without Liberation Mono too): ten "i" as wide as ten "M".
        QCOMPARE(control->fontMetrics().horizontalAdvance(QString(10, u'i')),
                 control->fontMetrics().horizontalAdvance(QString(10, u'M')));
        QCOMPARE(control->font().pointSize(), 12);
        QCOMPARE(control->font().weight(), QFont::Normal);
    } else {
        // The desktop's font (DejaVu Sans, 12 pixels) cuts "Choose serial port" off in the 89
        // pixels the layout leaves it; Liberation Sans has the widths the layout was drawn for,
        // and 11 pixels is its largest size at which that caption fits (97 pixels at 12). The
        // same in the window's pixels at every scale (CMakeLists.txt runs this at 144 dpi and
        // at twice the size too).
        const QFontInfo font(control->font());
        QCOMPARE(font.family(), QStringLiteral("Liberation Sans"));
        QCOMPARE(font.pixelSize(), 11);
        if (!text.isEmpty() && !qobject_cast<QComboBox *>(control))
            QVERIFY(control->fontMetrics().horizontalAdvance(text) <= control->width());
    }
    if (name.startsWith(u"Label"))
        QCOMPARE(control->focusPolicy(), Qt::NoFocus);
}

void TestMainWindow::fixedWindow()
{
    startWindow({});
    QCOMPARE(m_window->windowTitle(), QStringLiteral("RQ204 Message upload utility"));
    const QSize clientArea(6810 / 15, 3120 / 15); // twips
    QCOMPARE(m_window->size(), clientArea);
    QCOMPARE(m_window->minimumSize(), clientArea);
    QCOMPARE(m_window->maximumSize(), clientArea);
    const Qt::WindowFlags flags = m_window->windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!m_window->windowIcon().isNull());
    // A screen reader names the program's window as a window, by its caption.
    const QAccessibleInterface *form = QAccessible::queryAccessibleInterface(m_window.get());
    QCOMPARE(form->role(), QAccessible::Window);
    QCOMPARE(form->text(QAccessible::Name), QStringLiteral("RQ204 Message upload utility"));
    QCOMPARE(m_window->windowIcon().pixmap(32, 32).size(), QSize(32, 32));
    // The picture the desktop shows for the program.
    QCOMPARE(m_window->windowIcon().pixmap(32, 32).toImage().convertToFormat(QImage::Format_RGB32),
             QImage(QStringLiteral(RQ204_ICON_PATH)).convertToFormat(QImage::Format_RGB32));
    // The same picture in the icon Windows shows for the .exe files, the installer and the
    // Start menu.
    QCOMPARE(QImage(QStringLiteral(RQ204_WINDOWS_ICON_PATH)).convertToFormat(QImage::Format_ARGB32),
             QImage(QStringLiteral(RQ204_ICON_PATH)).convertToFormat(QImage::Format_ARGB32));
    QCOMPARE(m_window->findChild<QLabel *>("Label1")->buddy(), combo1());

    // The progress bar may only use the strip under the text box.
    const QRect strip(24, 187, 265, 208 - 187);
    QVERIFY(strip.contains(m_window->findChild<QProgressBar *>()->geometry()));
    QVERIFY(!m_window->findChild<QProgressBar *>()->accessibleName().isEmpty());
}

void TestMainWindow::focusChain_data()
{
    QTest::addColumn<bool>("backwards"); // Shift+Tab instead of Tab
    QTest::addColumn<QStringList>("visited");

    QTest::newRow("Tab") << false << QStringList{"Text1",    "Combo1",   "Command6",
                                                 "Command2", "Command1", "Text1"};
    QTest::newRow("Shift+Tab") << true << QStringList{"Text1",    "Command1", "Command2",
                                                      "Command6", "Combo1",   "Text1"};
}

void TestMainWindow::focusChain()
{
    QFETCH(bool, backwards);
    QFETCH(QStringList, visited);

    startWindow({m_port1->path(), m_port2->path()});
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QStringList seen;
    for (int i = 0; i < visited.size(); ++i) {
        QWidget *focus = QApplication::focusWidget();
        QVERIFY(focus);
        // The selector's line edit stands in for it.
        if (qobject_cast<QComboBox *>(focus->parentWidget()))
            focus = focus->parentWidget();
        seen.append(focus->objectName());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab,
                        backwards ? Qt::ShiftModifier : Qt::NoModifier);
    }
    QCOMPARE(seen, visited);
}

void TestMainWindow::help()
{
    startWindow({m_port1->path()});
    const QString helpText = QStringLiteral(
        "This utility allows you to send a message of up to 124 characters to the RQ204.  Make "
        "sure to select the correct serial port.  Connect the serial port of the PC to the serial "
        "input of the RQ204 (9 pole SubD, pin 5 = GND, pin 3 = Rx).  Hold the 'DOWN'-button of the "
        "RQ204 while turning on the unit to select 'message upload'-mode.  The RQ204 will display "
        "'RS232 -> RQ204'.  Enter your message and click 'Send to LCD'.  The RQ204 display shows "
        "the received characters.  When the last character is received, the RQ204 starts "
        "displaying your message.");
    QCOMPARE(helpText.size(), 546);

    QMessageBox *seen = nullptr;
    QString title, text;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::Icon icon = QMessageBox::Warning;
    QMessageBox::StandardButtons buttons;
    QTimer::singleShot(0, this, [&] {
        const auto close = closingModalBox();
        seen = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!seen)
            return;
        title = seen->windowTitle();
        text = seen->text();
        format = seen->textFormat();
        icon = seen->icon();
        buttons = seen->standardButtons();
    });
    QTest::mouseClick(m_window->findChild<QPushButton *>("Command1"), Qt::LeftButton);
    QVERIFY(seen);
    QCOMPARE(title, QStringLiteral("Help"));
    QCOMPARE(text, helpText);
    QCOMPARE(format, Qt::PlainText);
    QCOMPARE(icon, QMessageBox::NoIcon);
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QWidgetList shown; // the box is gone, and no other window ever opened
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible())
            shown.append(widget);
    }
    QCOMPARE(shown, QWidgetList{m_window.get()});
}

void TestMainWindow::helpDuringUpload()
{
    startWindow({m_port1->path()});
    send(QStringLiteral("AB$"));
    QByteArray whileOpen;
    QTimer::singleShot(0, this, [&] {
        const auto close = closingModalBox();
        // The upload keeps ticking behind the box.
        QTRY_VERIFY_WITH_TIMEOUT((whileOpen += m_port1->take()).size() >= 2, 5000);
    });
    QTest::mouseClick(m_window->findChild<QPushButton *>("Command1"), Qt::LeftButton);
    QCOMPARE(m_window->pacedSender().pendingMessage(), QStringLiteral("AB$\r"));
    QTRY_VERIFY(!m_window->pacedSender().isSending());
    QCOMPARE(whileOpen + m_port1->take(), QByteArray("AB\x0b\r"));
    QVERIFY(m_window->findChild<QProgressBar *>()->isHidden()); // gone once the upload ended
}

void TestMainWindow::closingMidUploadCutsIt()
{
    startWindow({m_port1->path()});
    send(QString(50, u'z'));
    QByteArray received;
    QTRY_VERIFY((received += m_port1->take()).size() >= 2);
    m_window->close();
    QVERIFY(!m_window->comm().portOpen());
    QVERIFY(!m_window->pacedSender().isSending());
    received += m_port1->take();
    QTest::qWait(350); // long enough for three more ticks, had the upload gone on
    QCOMPARE(m_port1->take(), QByteArray());
    QVERIFY(received.size() < 50);
    QVERIFY(openBoxes().isEmpty());
}

void TestMainWindow::closingWithNoPortOpen()
{
    startWindow({});
    QVERIFY(!m_window->comm().portOpen());
    QVERIFY(m_window->close());
    QVERIFY(!m_window->comm().portOpen());
    QVERIFY(openBoxes().isEmpty());
}

void TestMainWindow::reportLeavesTheKeyboardAlone_data()
{
    QTest::addColumn<QString>("typingIn");
    QTest::newRow("message") << "Text1";
    QTest::newRow("port box") << "Combo1";
}

void TestMainWindow::reportLeavesTheKeyboardAlone()
{
    QFETCH(QString, typingIn);

    // The device goes away during an upload while the user types on, here or in the port box.
    startWindow({m_port1->path()});
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    send(QStringLiteral("HELLO"));
    QWidget *control = m_window->findChild<QWidget *>(typingIn);
    control->setFocus();
    if (auto *text1 = qobject_cast<MessageEdit *>(control))
        text1->moveCursor(QTextCursor::End);
    m_window->pacedSender().sendNextChar();
    m_window->pacedSender().sendNextChar();
    m_port1->unplug();
    QTRY_COMPARE(openBoxes().size(), 1);
    QMessageBox *report = openBoxes().first();
    const QString told = QStringLiteral("The upload stopped after 2 of 6 characters: port 1 (%1) "
                                        "was disconnected.")
                             .arg(m_port1->path());
    QCOMPARE(report->text(), told);
    QCOMPARE(report->windowTitle(), Caption);
    QVERIFY(m_window->findChild<QProgressBar *>()->isHidden());
    QCOMPARE(combo1()->accessibleDescription(),
             QStringLiteral("port 1 (%1) was disconnected").arg(m_port1->path()));
    // Read out by a screen reader as it shows, as it never gets the focus.
    QCOMPARE(QAccessible::queryAccessibleInterface(report)->role(), QAccessible::Notification);
    QTRY_COMPARE(QGuiApplication::focusWindow(), m_window->windowHandle());
    QCOMPARE(QApplication::focusWidget(), control);
    // One loss, told once.
    QTest::qWait(350);
    QCOMPARE(openBoxes(), QList<QMessageBox *>{report});
    QCOMPARE(report->text(), told);

    // Keys that would press the box's button go where the user was typing; they come as the
    // window system brings them, to the window that has the keyboard.
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_A, Qt::Key_Return}) {
        QWindow *keyboard = QGuiApplication::focusWindow();
        QCOMPARE(keyboard, m_window->windowHandle());
        QTest::keyClick(keyboard, key);
    }
    QCOMPARE(QApplication::focusWidget(), control);
    QCOMPARE(openBoxes(), QList<QMessageBox *>{report});
    const QString typed = combo1()->currentText();
    if (auto *text1 = qobject_cast<MessageEdit *>(control))
        QCOMPARE(text1->message(), QStringLiteral("HELLO a\r\n"));
    else
        QCOMPARE(typed, QStringLiteral("1 a"));

    // Escape, which neither control has a use for, closes the report and changes nothing else.
    QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Escape);
    QVERIFY(openBoxes().isEmpty());
    QCOMPARE(QApplication::focusWidget(), control);
    QCOMPARE(combo1()->currentText(), typed);
    if (auto *text1 = qobject_cast<MessageEdit *>(control))
        QCOMPARE(text1->message(), QStringLiteral("HELLO a\r\n"));
}

void TestMainWindow::lostPortIsNoticedAndTriedAgainAtSend()
{
    startWindow({m_port1->path()});
    const QString lost = QStringLiteral("port 1 (%1) was disconnected").arg(m_port1->path());

    // Unplugged while nothing is sent: noticed without a Send, told only where the port is.
    m_port1->unplug();
    QTRY_VERIFY(!m_window->comm().portOpen());
    QCOMPARE(combo1()->accessibleDescription(), lost);
    QVERIFY(openBoxes().isEmpty());

    // Still gone at Send: the selection is tried once more and its reason told.
    m_host = QStringList{QString()};
    send(QStringLiteral("A"));
    tickToEnd();
    QCOMPARE(openBoxes().size(), 1);
    QCOMPARE(openBoxes().first()->text(),
             QStringLiteral("The message was not sent: port 1 could not be opened: no such port."));
    openBoxes().first()->done(QMessageBox::Ok);

    // Plugged back in: the next Send finds it.
    PtyDevice pluggedIn;
    m_host = QStringList{pluggedIn.path()};
    send(QStringLiteral("B"));
    QVERIFY(m_window->comm().portOpen());
    QCOMPARE(combo1()->accessibleDescription(), QString());
    tickToEnd();
    QCOMPARE(pluggedIn.take(), QByteArray("B\r"));
    QVERIFY(openBoxes().isEmpty());
    QCOMPARE(combo1()->currentText(), QStringLiteral("1"));
}

void TestMainWindow::portInUseWhenChosenIsTriedAgainAtSend()
{
    startWindow({m_port1->path(), m_port2->path()});
    auto otherProgram = std::make_unique<QtPortHolder>(m_port2->path());
    QVERIFY(otherProgram->open());
    QLineEdit *edit = combo1()->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("2"));
    QVERIFY(!m_window->comm().portOpen());

    // The other program is done by the time the user sends.
    otherProgram.reset();
    send(QStringLiteral("OK"));
    QVERIFY(m_window->comm().portOpen());
    QCOMPARE(combo1()->accessibleDescription(), QString());
    tickToEnd();
    QCOMPARE(m_port2->take(), QByteArray("OK\r"));
    QVERIFY(openBoxes().isEmpty());
}

void TestMainWindow::repeatedFailuresShareOneReport()
{
    startWindow({m_port1->path()});
    QLineEdit *edit = combo1()->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("3"));
    for (int i = 0; i < 25; ++i) {
        send(QStringLiteral("X"));
        tickToEnd();
    }
    QCOMPARE(openBoxes().size(), 1);
    QCOMPARE(openBoxes().first()->text(),
             QStringLiteral("The message was not sent: port 3 could not be opened: no such "
                            "port.\n\nThis happened 25 times."));

    // Another failure takes the report's place.
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("4"));
    send(QStringLiteral("X"));
    tickToEnd();
    QCOMPARE(openBoxes().size(), 1);
    QCOMPARE(openBoxes().first()->text(),
             QStringLiteral("The message was not sent: port 4 could not be opened: no such port."));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
