#include "mainwindow.h"
#include "messageedit.h"
#include "pacedsender.h"
#include "ptydevice.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

// The window on Wayland, the session Debian's desktop starts by default: Qt's Wayland platform
// on a compositor of the test's own (a headless weston, started by tests/weston-run.sh). What a
// desktop reads from X has no Wayland counterpart a client may read, so the window is checked as
// Qt hands it to the compositor. The upload itself is tst_endtoend, run here as well.
class TestWayland : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fixedSize();
    void helpIsModal();
    void reportBlocksNothing();
};

void TestWayland::initTestCase()
{
    if (QGuiApplication::platformName() != u"wayland")
        QSKIP("needs Qt on Wayland: CTest runs this test under tests/weston-run.sh");
}

void TestWayland::fixedSize()
{
    MainWindow window(portsAt({}));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWindow *surface = window.windowHandle();
    QCOMPARE(surface->title(), QStringLiteral("RQ204 Message upload utility"));
    // The client area, 6810 by 3120 twips; the smallest and largest size the compositor is
    // told are that size, so it offers no resizing.
    const QSize clientArea(454, 208);
    QCOMPARE(surface->size(), clientArea);
    QCOMPARE(surface->minimumSize(), clientArea);
    QCOMPARE(surface->maximumSize(), clientArea);
    surface->resize(600, 400);
    window.resize(600, 400);
    QTest::qWait(300);
    QCOMPARE(surface->size(), clientArea);
    QCOMPARE(window.size(), clientArea);
}

void TestWayland::helpIsModal()
{
    PtyDevice device;
    MainWindow window(portsAt({device.path()}));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QString title;
    bool blocked = false;
    QTimer::singleShot(0, this, [&] {
        QWidget *box = nullptr;
        QTRY_VERIFY((box = QApplication::activeModalWidget()) != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(box));
        title = box->windowHandle()->title();
        // A click on Send behind the box, as the compositor would bring it, reaches nothing.
        const QWidget *send = window.findChild<QPushButton *>("Command2");
        QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {},
                          send->mapTo(&window, send->rect().center()));
        blocked = !window.pacedSender().isSending();
        box->close();
    });
    QTest::mouseClick(window.findChild<QPushButton *>("Command1"), Qt::LeftButton);
    QCOMPARE(title, QStringLiteral("Help"));
    QVERIFY(blocked);
}

void TestWayland::reportBlocksNothing()
{
    // The device goes away during an upload while the user types the next message.
    PtyDevice device;
    MainWindow window(portsAt({device.path()}));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *text1 = window.findChild<MessageEdit *>("Text1");
    text1->setMessage(QStringLiteral("HELLO"));
    window.findChild<QPushButton *>("Command2")->click();
    QByteArray received;
    QTRY_VERIFY(!(received += device.take()).isEmpty());
    device.unplug();

    QPointer<QMessageBox> report;
    QTRY_VERIFY((report = window.findChild<QMessageBox *>()) && report->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(report));
    QCOMPARE(report->windowHandle()->title(), QStringLiteral("RQ204 Message upload utility"));
    // Which window has the keyboard is the compositor's to say under Wayland (weston gives it to
    // every new window; headless, it has none to give). What the program decides: the report
    // asks for nothing, blocks nothing, and the window goes on taking what is typed into it.
    QCOMPARE(QGuiApplication::modalWindow(), nullptr);
    QVERIFY(!report->isActiveWindow());
    QCOMPARE(window.focusWidget(), text1);
    text1->moveCursor(QTextCursor::End);
    QTest::keyClicks(text1, QStringLiteral(" a"));
    QCOMPARE(text1->message(), QStringLiteral("HELLO a"));
    QTest::keyClick(window.windowHandle(), Qt::Key_Escape);
    QTRY_VERIFY(report.isNull());
    QCOMPARE(text1->message(), QStringLiteral("HELLO a"));
}

QTEST_MAIN(TestWayland)
#include "tst_wayland.moc"
