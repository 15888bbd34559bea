#include "mainwindow.h"
#include "messageedit.h"
#include "program.h"
#include "ptydevice.h"
#include "ser2net.h"
#include "virtualdevice.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QLineEdit>
#include <QTemporaryDir>
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
    void networkPortTypedAtTheKeyboard();

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

void TestDesktop::networkPortTypedAtTheKeyboard()
{
    if (!Ser2net::installed())
        QSKIP("ser2net is not installed (tools/install-deps.sh --test installs it)");
    QTemporaryDir scratch;
    QProcess device;
    const QString path = startDevice(device, scratch.filePath(QStringLiteral("port")));
    QVERIFY(!path.isEmpty());
    // Every start of the port's number is a port of its own while it is typed, tried as it
    // stands: none may reach another service of this machine.
    std::unique_ptr<Ser2net> server;
    QString url;
    for (int attempt = 0; attempt < 20 && url.isEmpty(); ++attempt) {
        server = std::make_unique<Ser2net>(QStringList{path});
        QVERIFY(server->start());
        const QString number = server->rfc2217().section(u':', -1);
        const QSet<quint16> listening = listeningTcpPorts();
        bool clear = true;
        for (int digits = 1; digits < number.size(); ++digits)
            clear = clear && !listening.contains(quint16(number.left(digits).toUInt()));
        // By name, so that each whole text on the way is looked up as well.
        if (clear)
            url = server->rfc2217().replace(QStringLiteral("127.0.0.1"), QStringLiteral("localhost"));
    }
    QVERIFY(!url.isEmpty());

    MainWindow window(portsAt({}));
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QLineEdit *portBox = window.findChild<QComboBox *>("Combo1")->lineEdit();
    portBox->setFocus();

    // The event loop's longest stall while the keyboard types: a 1 ms timer's largest lateness.
    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestStall = 0;
    QTimer watch;
    watch.setTimerType(Qt::PreciseTimer);
    connect(&watch, &QTimer::timeout, this, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestStall = std::max(longestStall, now - lastTick - 1'000'000);
        lastTick = now;
    });
    clock.start();
    watch.start(1);
    QProcess typing;
    typing.start(QStringLiteral("xdotool"),
                 {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("40"), url});
    QTRY_VERIFY_WITH_TIMEOUT(typing.state() == QProcess::NotRunning, 20000);
    watch.stop();
    qInfo("longest event-loop stall while typing %s: %.1f ms", qPrintable(url),
          double(longestStall) / 1e6);
    QCOMPARE(portBox->text(), url);

    QTRY_VERIFY_WITH_TIMEOUT(window.comm().portOpen(), 10000);
    window.findChild<MessageEdit *>("Text1")->setMessage(QStringLiteral("Hi \u00ff$"));
    QTest::mouseClick(window.findChild<QPushButton *>("Command2"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(device.state() == QProcess::NotRunning, 20000);
    const QJsonObject summary = summaryOf(device.readAllStandardOutput());
    QCOMPARE(summary.value("bytes").toString(), QStringLiteral("48 69 20 FF 0B 0D"));
    QCOMPARE(summary.value("baud").toInt(), 2400);
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
