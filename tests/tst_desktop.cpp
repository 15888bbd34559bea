#include "mainwindow.h"
#include "messageedit.h"
#include "program.h"
#include "ptydevice.h"
#include "sendsupport.h"
#include "ser2net.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

// The window as a desktop shows it: a real X server (CTest starts it) with a window manager;
// titles are read back the way the desktop reads them, keys are typed the way a keyboard types,
// and what a screen reader hears is read over AT-SPI, on a session bus of the test's own.
class TestDesktop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void titlesAsTheDesktopShowsThem();
    void screenReaderNames();
    void tabOrderAsHeard_data();
    void tabOrderAsHeard();
    void reportLeavesTheKeyboardAlone();
    void networkPortTypedAtTheKeyboard();

private:
    QProcess m_windowManager;
    QString m_noScreenReader; // why AT-SPI cannot be read here; empty where it can
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

// Debian's python3-gi serves Debian's own Python, whatever else comes first on the PATH.
const QString SystemPython = QStringLiteral("/usr/bin/python3");

// A screen reader's view of this process, through tests/atspi-client.py. The client calls back
// into this process, whose event loop must run meanwhile to answer.
class ScreenReader
{
public:
    explicit ScreenReader(const QStringList &arguments)
    {
        m_client.start(SystemPython,
                       QStringList{QStringLiteral(RQ204_ATSPI_CLIENT),
                                   QString::number(QCoreApplication::applicationPid())} +
                           arguments);
    }
    ~ScreenReader()
    {
        m_client.closeWriteChannel();
        if (!m_client.waitForFinished(5000))
            m_client.kill();
        m_client.waitForFinished(1000);
    }
    ScreenReader(const ScreenReader &) = delete;
    ScreenReader &operator=(const ScreenReader &) = delete;

    // Lines written so far, read as they come.
    QList<QByteArray> lines()
    {
        m_output += m_client.readAllStandardOutput();
        QList<QByteArray> complete = m_output.split('\n');
        complete.removeLast();
        return complete;
    }
    bool finished() const { return m_client.state() == QProcess::NotRunning; }
    QString errors() { return QString::fromUtf8(m_client.readAllStandardError()); }

    // Events the client has seen since it said it was ready, as JSON.
    QList<QJsonObject> events()
    {
        QList<QJsonObject> seen;
        for (const QByteArray &line : lines()) {
            if (line != "ready")
                seen.append(QJsonDocument::fromJson(line).object());
        }
        return seen;
    }

private:
    QProcess m_client;
    QByteArray m_output;
};

// The program's accessible tree, as nested JSON objects (role, name, description, states,
// labelledBy, children).
QJsonObject accessibleTree()
{
    ScreenReader reader({QStringLiteral("tree")});
    if (!QTest::qWaitFor([&] { return reader.finished(); }, 30000))
        return {};
    const QList<QByteArray> lines = reader.lines();
    if (lines.isEmpty())
        qWarning("%s", qPrintable(reader.errors()));
    return lines.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(lines.last()).object();
}

void collect(const QJsonObject &node, QList<QJsonObject> &nodes)
{
    nodes.append(node);
    for (const QJsonValue child : node.value(QLatin1String("children")).toArray())
        collect(child.toObject(), nodes);
}

// Waits until the screen reader listens, and the program knows that it does.
void waitUntilListening(ScreenReader &reader)
{
    QTRY_VERIFY_WITH_TIMEOUT(reader.lines().contains("ready") || reader.finished(), 30000);
    QVERIFY2(!reader.finished(), qPrintable(reader.errors()));
    // The program hears of a new listener from the registry, on its own event loop.
    QTest::qWait(500);
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
    // The session bus is CTest's (dbus-run-session): a screen reader's registry started on the
    // desktop's own bus would be somebody else's.
    QProcess python;
    python.start(SystemPython, {QStringLiteral("-c"),
                                QStringLiteral("import gi; gi.require_version('Atspi', '2.0'); "
                                               "from gi.repository import Atspi")});
    if (qEnvironmentVariableIsEmpty("RQ204_TEST_SESSION_BUS"))
        m_noScreenReader = QStringLiteral("no session bus of the test's own (dbus-run-session)");
    else if (!python.waitForFinished(10000) || python.exitCode() != 0)
        m_noScreenReader = QStringLiteral("python3-gi and gir1.2-atspi-2.0 are not installed");
    else if (qEnvironmentVariableIntValue("QT_LINUX_ACCESSIBILITY_ALWAYS_ON") != 1)
        m_noScreenReader = QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 is not set");
    setApplicationIdentity();
    QVERIFY(startWindowManager(m_windowManager));
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

void TestDesktop::screenReaderNames()
{
    if (!m_noScreenReader.isEmpty())
        QSKIP(qPrintable(m_noScreenReader));
    PtyDevice device;
    MainWindow window(portsAt({device.path()}));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QList<QJsonObject> nodes;
    collect(accessibleTree(), nodes);
    QString frame;
    QStringList portBoxLabels;
    QStringList controls; // what takes the keyboard, as heard: "role: name"
    for (const QJsonObject &node : nodes) {
        const QString role = node.value("role").toString();
        const QString name = node.value("name").toString();
        const QStringList states = node.value("states").toVariant().toStringList();
        if (role == u"frame")
            frame = name;
        if (role == u"combo box")
            portBoxLabels = node.value("labelledBy").toVariant().toStringList();
        if (states.contains(u"focusable") && states.contains(u"showing"))
            controls.append(role + QStringLiteral(": ") + name);
    }
    QCOMPARE(frame, QStringLiteral("RQ204 Message upload utility"));
    QCOMPARE(portBoxLabels, QStringList{"Choose serial port"});
    QCOMPARE(controls, (QStringList{"combo box: Choose serial port", "text: Choose serial port",
                                    "text: Message", "push button: Help", "push button: Clear",
                                    "push button: Send to LCD"}));
}

void TestDesktop::tabOrderAsHeard_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QStringList>("heard"); // from the message box on, one key each

    QTest::newRow("Tab") << "Tab"
                         << QStringList{"Choose serial port", "Clear", "Send to LCD", "Help",
                                        "Message"};
    QTest::newRow("Shift+Tab") << "shift+Tab"
                               << QStringList{"Help", "Send to LCD", "Clear", "Choose serial port",
                                              "Message"};
}

void TestDesktop::tabOrderAsHeard()
{
    QFETCH(QString, key);
    QFETCH(QStringList, heard);
    if (!m_noScreenReader.isEmpty())
        QSKIP(qPrintable(m_noScreenReader));

    PtyDevice device;
    MainWindow window(portsAt({device.path()}));
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(QApplication::focusWidget(), window.findChild<QWidget *>("Text1"));

    ScreenReader reader({QStringLiteral("listen"), QStringLiteral("object:state-changed:focused")});
    waitUntilListening(reader);
    for (int i = 0; i < heard.size(); ++i)
        typeKeys({QStringLiteral("key"), key});
    const auto focused = [&] {
        QStringList names;
        for (const QJsonObject &event : reader.events()) {
            if (event.value("detail1").toInt() == 1)
                names.append(event.value("name").toString());
        }
        return names;
    };
    QTRY_COMPARE_WITH_TIMEOUT(focused(), heard, 10000);
}

void TestDesktop::reportLeavesTheKeyboardAlone()
{
    // The device goes away during an upload while the user types the next message.
    PtyDevice device;
    MainWindow window(portsAt({device.path()}));
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    std::unique_ptr<ScreenReader> reader;
    if (m_noScreenReader.isEmpty()) {
        reader = std::make_unique<ScreenReader>(
            QStringList{QStringLiteral("listen"), QStringLiteral("object:state-changed:showing")});
        waitUntilListening(*reader);
    }
    auto *text1 = window.findChild<MessageEdit *>("Text1");
    text1->setMessage(QStringLiteral("HELLO"));
    window.findChild<QPushButton *>("Command2")->click();
    text1->setFocus();
    text1->moveCursor(QTextCursor::End);
    QByteArray received;
    QTRY_VERIFY(!(received += device.take()).isEmpty());
    device.unplug();

    QPointer<QMessageBox> report;
    QTRY_VERIFY((report = window.findChild<QMessageBox *>()) && report->isVisible());
    // What a screen reader is told as the report shows, and once more when it tells of the
    // next attempt.
    const auto announced = [&] {
        QStringList told;
        for (const QJsonObject &event : reader->events()) {
            if (event.value("detail1").toInt() == 1 &&
                event.value("role").toString() == u"notification" &&
                event.value("name").toString() == u"RQ204 Message upload utility")
                told.append(event.value("texts").toVariant().toStringList().join(u'|'));
        }
        return told;
    };
    if (reader)
        QTRY_COMPARE_WITH_TIMEOUT(announced(), QStringList{report->text()}, 10000);

    // Time for the window manager to hand the keyboard to the report, had it asked for it.
    QTest::qWait(500);
    typeKeys({QStringLiteral("type"), QStringLiteral(" a")});
    typeKeys({QStringLiteral("key"), QStringLiteral("Return")});
    QTRY_COMPARE(text1->message(), QStringLiteral("HELLO a\r\n"));
    QTest::qWait(200);
    QVERIFY(report->isVisible());
    QCOMPARE(QApplication::focusWidget(), text1);

    if (reader) {
        const QString first = report->text();
        window.findChild<QPushButton *>("Command2")->click();
        QTRY_VERIFY(report->text() != first);
        QTRY_COMPARE_WITH_TIMEOUT(announced(), (QStringList{first, report->text()}), 10000);
    }

    // Escape goes to the port box's open list first, then closes the report; the port box
    // keeps the keyboard and its text.
    auto *portBox = window.findChild<QComboBox *>("Combo1");
    portBox->setFocus();
    const QString port = portBox->currentText();
    typeKeys({QStringLiteral("key"), QStringLiteral("F4")});
    QTRY_VERIFY(portBox->view()->isVisible());
    typeKeys({QStringLiteral("key"), QStringLiteral("Escape")});
    QTRY_VERIFY(!portBox->view()->isVisible());
    QTest::qWait(200);
    QVERIFY(report->isVisible());
    typeKeys({QStringLiteral("key"), QStringLiteral("Escape")});
    QTRY_VERIFY(report.isNull()); // closed, and so deleted
    QCOMPARE(portBox->currentText(), port);
    QTRY_COMPARE(QApplication::focusWidget(), portBox);
    QCOMPARE(text1->message(), QStringLiteral("HELLO a\r\n"));
}

void TestDesktop::networkPortTypedAtTheKeyboard()
{
    if (!Ser2net::installed())
        QSKIP("ser2net is not installed (tools/install-deps.sh --test installs it)");
    QTemporaryDir scratch;
    QProcess device;
    const QString path = startDevice(device, scratch.filePath(QStringLiteral("port")));
    QVERIFY(!path.isEmpty());
    Ser2net server({path});
    QVERIFY(server.start());
    // By name, which is looked up once the typing pauses.
    const QString url =
        server.rfc2217().replace(QStringLiteral("127.0.0.1"), QStringLiteral("localhost"));

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
