#include "mainwindow.h"
#include "messageedit.h"
#include "pacedsender.h"
#include "ptydevice.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QTest>
#include <QTimer>
#include <memory>

// The whole window with pseudo-terminals as ports 1 and 2: start-up, port selection, layout,
// Help, failures and shutdown.
class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startUpWithBothPortsFree();
    void probe_data();
    void probe();
    void pickingAnotherPort();
    void typingTriesEachNumber();
    void pickingTheOpenPortReopensIt();
    void failedSelectionIsMarkedAndToldAtSend();
    void devicePaths_data();
    void devicePaths();
    void uploadFollowsThePortSwitch();
    void layout_data();
    void layout();
    void fixedWindow();
    void focusChain();
    void help();
    void helpDuringUpload();
    void closingMidUploadCutsIt();
    void closingWithNoPortOpen();
    void deviceLostShowsOneBox();

private:
    void startWindow(const QStringList &ports);
    QComboBox *combo1() const { return m_window->findChild<QComboBox *>("Combo1"); }
    void send(const QString &text);
    void tickToEnd();
    // The message boxes open now (they are closed by the caller).
    static QList<QMessageBox *> openBoxes();

    std::unique_ptr<PtyDevice> m_port1;
    std::unique_ptr<PtyDevice> m_port2;
    std::unique_ptr<MainWindow> m_window;
    QList<int> m_resolved; // every port number the control looked up, in order
};

void TestMainWindow::init()
{
    m_port1 = std::make_unique<PtyDevice>();
    m_port2 = std::make_unique<PtyDevice>();
    m_resolved.clear();
}

void TestMainWindow::cleanup()
{
    for (QMessageBox *box : openBoxes())
        box->done(QMessageBox::Ok);
    m_window.reset();
    m_port2.reset();
    m_port1.reset();
}

void TestMainWindow::startWindow(const QStringList &ports)
{
    const auto resolve = portsAt(ports);
    m_window = std::make_unique<MainWindow>([this, resolve](int number) {
        m_resolved.append(number);
        return resolve(number);
    });
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
    // Probed 1 and 2, then the selection of 1: nothing else was tried.
    QCOMPARE(m_resolved, (QList<int>{1, 2, 1}));

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
    QTest::addColumn<bool>("port1InUse"); // held by another program
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("both") << true << true << false << QStringList{"1", "2"};
    QTest::newRow("only 2") << false << true << false << QStringList{"2"};
    QTest::newRow("only 1") << true << false << false << QStringList{"1"};
    QTest::newRow("neither") << false << false << false << QStringList{};
    QTest::newRow("1 in use") << true << true << true << QStringList{"2"};
}

void TestMainWindow::probe()
{
    QFETCH(bool, port1);
    QFETCH(bool, port2);
    QFETCH(bool, port1InUse);
    QFETCH(QStringList, entries);

    QSerialPort otherProgram(m_port1->path());
    if (port1InUse)
        QVERIFY(otherProgram.open(QIODevice::ReadWrite));
    startWindow({port1 ? m_port1->path() : QString(), port2 ? m_port2->path() : QString()});

    QStringList listed;
    for (int i = 0; i < combo1()->count(); ++i)
        listed.append(combo1()->itemText(i));
    QCOMPARE(listed, entries);
    QCOMPARE(combo1()->currentText(), entries.value(0));
    QCOMPARE(m_window->comm().portOpen(), !entries.isEmpty());
    if (!entries.isEmpty())
        QCOMPARE(m_window->comm().commPort(), entries.first().toInt());
    QVERIFY(openBoxes().isEmpty()); // an empty list is no reason to complain
    QCOMPARE(m_port1->take() + m_port2->take(), QByteArray()); // probing sends nothing
    if (entries.isEmpty())
        QCOMPARE(m_window->comm().notOpenReason(),
                 QStringLiteral("no serial port was found; type a port number or a device path "
                                "into the port box"));
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
    QSerialPort otherProgram(m_port1->path());
    QVERIFY(otherProgram.open(QIODevice::ReadWrite));
}

void TestMainWindow::typingTriesEachNumber()
{
    startWindow({m_port1->path(), m_port2->path()});
    combo1()->lineEdit()->selectAll();
    QTest::keyClick(combo1()->lineEdit(), Qt::Key_Delete);
    m_resolved.clear();
    QTest::keyClicks(combo1()->lineEdit(), QStringLiteral("12"));
    QCOMPARE(combo1()->currentText(), QStringLiteral("12")); // no completion, no insertion
    QCOMPARE(m_resolved, (QList<int>{1, 12}));
    QVERIFY(!m_window->comm().portOpen());
    QTest::keyClick(combo1()->lineEdit(), Qt::Key_Return);
    QCOMPARE(combo1()->count(), 2);
}

void TestMainWindow::pickingTheOpenPortReopensIt()
{
    startWindow({m_port1->path(), m_port2->path()});
    m_resolved.clear();
    emit combo1()->activated(0);
    QCOMPARE(m_resolved, QList<int>{1});
    QVERIFY(m_window->comm().portOpen());
    QCOMPARE(m_window->comm().commPort(), 1);
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
    QCOMPARE(boxes.first()->windowTitle(), MainWindow::Caption);
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

void TestMainWindow::uploadFollowsThePortSwitch()
{
    startWindow({m_port1->path(), m_port2->path()});
    send(QStringLiteral("ABCD"));
    m_window->pacedSender().sendNextChar();
    m_window->pacedSender().sendNextChar();
    combo1()->setFocus();
    QTest::keyClick(combo1(), Qt::Key_Down);
    QVERIFY(m_window->pacedSender().isSending());
    tickToEnd();
    QCOMPARE(m_port1->take(), QByteArray("AB"));
    QCOMPARE(m_port2->take(), QByteArray("CD\r"));
}

void TestMainWindow::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");

    QTest::newRow("Label1") << "Label1" << QRect(32, 32, 89, 17) << "Choose serial port"
                            << "";
    QTest::newRow("Combo1") << "Combo1" << QRect(128, 32, 41, 21) << "1"
                            << "Select the serial port";
    QTest::newRow("Label2")
        << "Label2" << QRect(216, 32, 209, 25) << "124  characters remaining"
        << "Total memory = 124 characters.  This counter shows the # of characters left";
    QTest::newRow("Label3") << "Label3" << QRect(336, 72, 89, 17) << "'$' adds a pause"
                            << "Put a '$' anywhere in your text to pause the scrolling ";
    QTest::newRow("Text1") << "Text1" << QRect(24, 80, 265, 107) << ""
                           << "Textbox.  Enter your message here";
    QTest::newRow("Command1") << "Command1" << QRect(336, 96, 89, 25) << "Help"
                              << "About this utility";
    QTest::newRow("Command6") << "Command6" << QRect(336, 128, 89, 25) << "Clear"
                              << "Clear the textbox";
    QTest::newRow("Command2") << "Command2" << QRect(336, 160, 89, 25) << "Send to LCD"
                              << "Click to send the message to the RQ204";
}

void TestMainWindow::layout()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);

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

    if (name == u"Text1") {
        QCOMPARE(control->font().family(), QStringLiteral("Courier New"));
        QCOMPARE(control->font().pointSize(), 12);
        QCOMPARE(control->font().weight(), QFont::Normal);
    } else {
        // The desktop's font, at a size at which the caption is not cut off.
        QCOMPARE(control->font().family(), QApplication::font(control).family());
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
    QCOMPARE(m_window->size(), QSize(454, 208));
    QCOMPARE(m_window->minimumSize(), QSize(454, 208));
    QCOMPARE(m_window->maximumSize(), QSize(454, 208));
    const Qt::WindowFlags flags = m_window->windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!m_window->windowIcon().isNull());
    QCOMPARE(m_window->windowIcon().pixmap(32, 32).size(), QSize(32, 32));
    QCOMPARE(m_window->findChild<QLabel *>("Label1")->buddy(), combo1());

    // The progress bar may only use the strip under the text box.
    const QRect strip(24, 187, 265, 208 - 187);
    QVERIFY(strip.contains(m_window->findChild<QProgressBar *>()->geometry()));
    QVERIFY(!m_window->findChild<QProgressBar *>()->accessibleName().isEmpty());
}

void TestMainWindow::focusChain()
{
    startWindow({m_port1->path(), m_port2->path()});
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    const QStringList expected{"Text1", "Combo1", "Command6", "Command2", "Command1", "Text1"};
    QStringList visited;
    for (int i = 0; i < expected.size(); ++i) {
        QWidget *focus = QApplication::focusWidget();
        QVERIFY(focus);
        // The selector's line edit stands in for it.
        if (qobject_cast<QComboBox *>(focus->parentWidget()))
            focus = focus->parentWidget();
        visited.append(focus->objectName());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(visited, expected);
}

void TestMainWindow::help()
{
    startWindow({m_port1->path()});
    QCOMPARE(MainWindow::HelpText.size(), 546);
    QVERIFY(!MainWindow::HelpText.contains(u'\n'));
    QVERIFY(!MainWindow::HelpText.contains(u'\r'));

    QMessageBox *seen = nullptr;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::Warning;
    QMessageBox::StandardButtons buttons;
    QTimer::singleShot(0, this, [&] {
        seen = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!seen)
            return;
        title = seen->windowTitle();
        text = seen->text();
        icon = seen->icon();
        buttons = seen->standardButtons();
        seen->button(QMessageBox::Ok)->click();
    });
    QTest::mouseClick(m_window->findChild<QPushButton *>("Command1"), Qt::LeftButton);
    QVERIFY(seen);
    QCOMPARE(title, QStringLiteral("Help"));
    QCOMPARE(text, MainWindow::HelpText);
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
        // The upload keeps ticking behind the box.
        QTRY_VERIFY_WITH_TIMEOUT((whileOpen += m_port1->take()).size() >= 2, 5000);
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            box->done(QMessageBox::Ok);
    });
    QTest::mouseClick(m_window->findChild<QPushButton *>("Command1"), Qt::LeftButton);
    QCOMPARE(m_window->pacedSender().pendingMessage(), QStringLiteral("AB$\r"));
    QTRY_VERIFY(!m_window->pacedSender().isSending());
    QCOMPARE(whileOpen + m_port1->take(), QByteArray("AB\x0b\r"));
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

void TestMainWindow::deviceLostShowsOneBox()
{
    startWindow({m_port1->path()});
    send(QString(30, u'q'));
    QByteArray received;
    QTRY_VERIFY((received += m_port1->take()).size() >= 1);
    m_port1->unplug();
    QTRY_COMPARE(openBoxes().size(), 1);
    QVERIFY(openBoxes().first()->text().startsWith(QStringLiteral("The upload stopped after ")));
    QVERIFY(!m_window->pacedSender().isSending());
    QVERIFY(!m_window->comm().portOpen());
    QVERIFY(m_window->findChild<QProgressBar *>()->isHidden());
    QVERIFY(combo1()->accessibleDescription().contains(QStringLiteral("stopped working")));
    QTest::qWait(350);
    QCOMPARE(openBoxes().size(), 1);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
