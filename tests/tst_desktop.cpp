#include "mainwindow.h"
#include "messageedit.h"
#include "program.h"
#include "ptydevice.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <memory>

// The window as a desktop shows it: a real X server (CTest starts it) with a window manager;
// titles are read back the way the desktop reads them, keys are typed the way a keyboard types.
class TestDesktop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void titlesAsTheDesktopShowsThem();
    void reportLeavesTheKeyboardAlone();

private:
    QProcess m_windowManager;
};

namespace {

// What the desktop shows as a window's title.
QString desktopTitle(const QWidget *window)
{
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window->winId()),
                                          QStringLiteral("_NET_WM_NAME")});
    if (!xprop.waitForFinished(5000))
        return QStringLiteral("(xprop did not answer)");
    // _NET_WM_NAME(UTF8_STRING) = "Help"
    const QString line = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
    const qsizetype quote = line.indexOf(u'"');
    return quote < 0 ? line : line.mid(quote + 1).chopped(1);
}

// Types as the keyboard does, into whatever window the desktop gives the keyboard to.
void typeKeys(const QStringList &arguments)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), arguments);
    QVERIFY(xdotool.waitForFinished(5000));
    QCOMPARE(xdotool.exitCode(), 0);
}

} // namespace

void TestDesktop::initTestCase()
{
    if (QGuiApplication::platformName() != u"xcb")
        QSKIP("needs an X server: CTest runs this test under xvfb-run");
    for (const char *tool : {"metacity", "xprop", "xdotool"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
    }
    setApplicationIdentity();
    m_windowManager.start(QStringLiteral("metacity"),
                          {QStringLiteral("--no-composite"), QStringLiteral("--sm-disable")});
    QVERIFY(m_windowManager.waitForStarted());
    // The window manager has taken over once it names itself on the root window.
    QTRY_VERIFY_WITH_TIMEOUT(
        [] {
            QProcess xprop;
            xprop.start(QStringLiteral("xprop"),
                        {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")});
            return xprop.waitForFinished(5000) &&
                   xprop.readAllStandardOutput().contains("window id");
        }(),
        10000);
}

void TestDesktop::cleanupTestCase()
{
    m_windowManager.terminate();
    m_windowManager.waitForFinished(5000);
}

void TestDesktop::titlesAsTheDesktopShowsThem()
{
    MainWindow window(portsAt({}));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE(desktopTitle(&window), QStringLiteral("RQ204 Message upload utility"));

    QString helpTitle;
    QTimer::singleShot(0, this, [&] {
        const auto close = qScopeGuard([] {
            if (QWidget *box = QApplication::activeModalWidget())
                box->close();
        });
        QWidget *box = nullptr;
        QTRY_VERIFY((box = QApplication::activeModalWidget()) != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!(helpTitle = desktopTitle(box)).isEmpty(), 5000);
    });
    QTest::mouseClick(window.findChild<QPushButton *>("Command1"), Qt::LeftButton);
    QCOMPARE(helpTitle, QStringLiteral("Help"));
}

void TestDesktop::reportLeavesTheKeyboardAlone()
{
    // The device goes away during an upload while the user types the next message.
    PtyDevice device;
    MainWindow window(portsAt({device.path()}));
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *text1 = window.findChild<MessageEdit *>("Text1");
    text1->setMessage(QStringLiteral("HELLO"));
    QTest::mouseClick(window.findChild<QPushButton *>("Command2"), Qt::LeftButton);
    text1->setFocus();
    text1->moveCursor(QTextCursor::End);
    QByteArray received;
    QTRY_VERIFY(!(received += device.take()).isEmpty());
    device.unplug();

    QMessageBox *report = nullptr;
    QTRY_VERIFY((report = window.findChild<QMessageBox *>()) && report->isVisible());
    // Time for the window manager to hand the keyboard to the report, had it asked for it.
    QTest::qWait(500);
    typeKeys({QStringLiteral("type"), QStringLiteral(" a")});
    typeKeys({QStringLiteral("key"), QStringLiteral("Return"), QStringLiteral("Escape")});
    QTRY_COMPARE(text1->message(), QStringLiteral("HELLO a\r\n"));
    QTest::qWait(200);
    QVERIFY(report->isVisible());
    QCOMPARE(QApplication::focusWidget(), text1);
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
