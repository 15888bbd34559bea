#include "ptydevice.h"
#include "sendsupport.h"
#include "ser2net.h"

#include <QDir>
#include <QDirIterator>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <optional>

// The Windows programs as built for Windows, under wine: rq204-send.exe and rq204-upload.exe
// against the virtual RQ204 on the far end of the pseudo-terminal that COM1 is mapped to, and
// the installer in a wine prefix of the test's own. tests/wine-run.sh keeps every run away from
// the host's serial ports. tools/windows.sh --test runs this with the folder it packed.
class TestWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void sendsToTheComPort_data();
    void sendsToTheComPort();
    void listsThePortsWithoutOpeningThem();
    void failures_data();
    void failures();
    void stops_data();
    void stops();
    void window_data();
    void window();
    void installer();

private:
    // Starts `command` (a Windows program and its arguments, or with `asScript` a bash script
    // that runs wine64 itself) with COMN mapped to each pseudo-terminal given, in `prefix` (kept)
    // or in a prefix of its own.
    void startWine(QProcess &wine, const QMap<int, QString> &coms, const QStringList &command,
                   bool asScript = false, const QString &prefix = {},
                   const QByteArray &registry = {});
    QString exe(const QString &name) const { return m_stage.filePath(name); }

    QDir m_stage;
    QTemporaryDir m_scratch;
    QProcess m_windowManager;
};

namespace {

const QString Message = QStringLiteral("Open 9-17$ Mon-Sat");
const QString MessageBytes =
    QStringLiteral("4F 70 65 6E 20 39 2D 31 37 0B 20 4D 6F 6E 2D 53 61 74 0D");

// What a Windows program wrote to a text stream, whose line breaks the C runtime writes as CR LF,
// with each CR LF as it is written on Linux; a bare LF is kept, so that it shows.
QString lines(const QByteArray &written)
{
    return QString::fromLocal8Bit(written).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// What wine printed, for a failure's message.
QString said(QProcess &process)
{
    return QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
}

} // namespace

void TestWine::initTestCase()
{
    const QString stage = qEnvironmentVariable("RQ204_WINDOWS_STAGE");
    if (stage.isEmpty())
        QSKIP("needs the Windows build: tools/windows.sh --test runs this test");
    m_stage.setPath(stage);
    QVERIFY2(QFile::exists(exe(QStringLiteral("rq204-send.exe"))), qPrintable(stage));
    QVERIFY(m_scratch.isValid());
}

void TestWine::cleanupTestCase()
{
    if (m_windowManager.state() != QProcess::NotRunning) {
        m_windowManager.terminate();
        m_windowManager.waitForFinished(5000);
    }
}

void TestWine::startWine(QProcess &wine, const QMap<int, QString> &coms, const QStringList &command,
                         bool asScript, const QString &prefix, const QByteArray &registry)
{
    QStringList arguments;
    if (!registry.isEmpty()) {
        QFile file(m_scratch.filePath(QStringLiteral("registry")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(registry) == registry.size());
        arguments << QStringLiteral("--reg") << file.fileName();
    }
    for (auto com = coms.begin(); com != coms.end(); ++com)
        arguments << QStringLiteral("--com") << QStringLiteral("%1=%2").arg(com.key()).arg(*com);
    if (!prefix.isEmpty())
        arguments << QStringLiteral("--keep") << prefix;
    if (asScript)
        arguments << QStringLiteral("--command") << QStringLiteral("bash") << QStringLiteral("-c");
    wine.start(QStringLiteral(RQ204_WINE_RUN), arguments + command);
    QVERIFY(wine.waitForStarted());
}

void TestWine::sendsToTheComPort_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("port number") << QStringList{"--port", "1"};
    QTest::newRow("COM name") << QStringList{"--port", "COM1"};
    QTest::newRow("device namespace") << QStringList{"--port", "\\\\.\\COM1"};
    QTest::newRow("first port found") << QStringList{};
    // The device behind a ser2net of the test's own, its line starting at 9600 baud.
    QTest::newRow("rfc2217://") << QStringList{"--port", "rfc2217"};
    QTest::newRow("socket://") << QStringList{"--port", "socket"};
}

void TestWine::sendsToTheComPort()
{
    QFETCH(QStringList, arguments);

    QProcess device;
    const QString pty = startDevice(device, m_scratch.filePath(QStringLiteral("port")));
    QVERIFY(!pty.isEmpty());
    Ser2net server({pty});
    if (arguments.value(1) == u"rfc2217" || arguments.value(1) == u"socket") {
        QVERIFY(server.start());
        arguments[1] = arguments[1] == u"rfc2217" ? server.rfc2217() : server.raw();
    }
    QProcess wine;
    startWine(wine, {{1, pty}},
              QStringList{exe(QStringLiteral("rq204-send.exe")), QStringLiteral("-q")} + arguments +
                  QStringList{Message});
    QVERIFY(wine.waitForFinished(60000));
    const QString output = said(wine);
    QCOMPARE(wine.exitCode(), 0);
    QVERIFY2(output.isEmpty(), qPrintable(output));
    QVERIFY(device.waitForFinished(10000));
    const QJsonObject summary = summaryOf(device.readAllStandardOutput());
    QCOMPARE(summary.value("bytes").toString(), MessageBytes);
    QCOMPARE(summary.value("baud").toInt(), 2400);
    QCOMPARE(summary.value("stop_bits").toInt(), 1);
    QCOMPARE(summary.value("flow").toString(), QStringLiteral("none"));
    QCOMPARE(summary.value("settings_ok").toBool(), true);
    QStringList gaps;
    for (const QJsonValue gap : summary.value("gaps_ms").toArray())
        gaps << QString::number(gap.toDouble(), 'f', 1);
    qInfo("gaps at the far end through wine (ms): %s", qPrintable(gaps.join(u' ')));
}

void TestWine::listsThePortsWithoutOpeningThem()
{
    // Numbered as the registry's device map lists them; only an open could say which are free,
    // and an open would raise a real port's DTR and RTS.
    PtyDevice port1;
    PtyDevice port12;
    QProcess wine;
    // COM12 is a USB adapter as Device Manager lists it; wine itself names none of its ports.
    const QByteArray adapter =
        "System\\\\CurrentControlSet\\\\Enum\\\\USB\\\\VID_067B&PID_2303\\\\5&1";
    startWine(wine, {{1, port1.path()}, {12, port12.path()}},
              {exe(QStringLiteral("rq204-send.exe")), QStringLiteral("--list-ports")}, false, {},
              "\n[" + adapter +
                  "] 0\n\"ClassGUID\"=\"{4d36e978-e325-11ce-bfc1-08002be10318}\"\n"
                  "\"FriendlyName\"=\"Prolific USB-to-Serial Comm Port (COM12)\"\n[" +
                  adapter + "\\\\Device Parameters] 0\n\"PortName\"=\" COM12\"\n");
    QVERIFY(wine.waitForFinished(60000));
    QCOMPARE(wine.exitCode(), 0);
    // Only the ports the test made: the session's /dev shows wine none of the host's own.
    QCOMPARE(lines(wine.readAllStandardOutput()),
             QStringLiteral(" 1  COM1   Serial0\n12  COM12  Prolific USB-to-Serial Comm Port\n"));
    QCOMPARE(port1.opens() + port12.opens(), 0);
}

void TestWine::failures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("held"); // another program holds the device for itself alone
    QTest::addColumn<QString>("words");

    QTest::newRow("no port of that number")
        << QStringList{"--port", "7"} << false
        << "rq204-send: The message was not sent: port 7 could not be opened: no such port.\n";
    QTest::newRow("no port of that name")
        << QStringList{"--port", "COM7"} << false
        << "rq204-send: The message was not sent: COM7 could not be opened: no such port.\n";
    // Wine 8 lends a COM port to any number of its own programs at once, where Windows refuses
    // all but the first; the other program here holds the device the way Qt's serial port does,
    // which wine then refuses as Windows would.
    QTest::newRow("in use by another program")
        << QStringList{"--port", "1"} << true
        << "rq204-send: The message was not sent: port 1 (COM1) could not be opened: it is in "
           "use by another program.\n";
}

void TestWine::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, held);
    QFETCH(QString, words);

    PtyDevice device;
    QtPortHolder otherProgram(device.path());
    QVERIFY(!held || otherProgram.open());
    QProcess wine;
    startWine(wine, {{1, device.path()}},
              QStringList{exe(QStringLiteral("rq204-send.exe")), QStringLiteral("-q")} + arguments +
                  QStringList{Message});
    QVERIFY(wine.waitForFinished(90000));
    QCOMPARE(wine.exitCode(), 1);
    const QByteArray err = wine.readAllStandardError();
    QVERIFY2(err.count("\n") == err.count("\r\n"), err.constData());
    QCOMPARE(lines(err), words);
    QCOMPARE(device.take(), QByteArray());
}

void TestWine::stops_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason"); // why, after "The upload stopped after N of 41 …: "

    // Ctrl-C in a console reaches a wine program as SIGINT. Wine 8 delivers no Ctrl-Break, by
    // its console's key or by GenerateConsoleCtrlEvent(); what it stands for is in tst_send.
    QTest::newRow("Ctrl-C") << "interrupt" << 128 + SIGINT << "interrupted";
    QTest::newRow("the far end unplugged") << "unplug" << 1 << "port 1 (COM1) was disconnected";
    QTest::newRow("the far end stops taking bytes")
        << "stall" << 1 << "port 1 (COM1) stopped taking bytes";
}

void TestWine::stops()
{
    QFETCH(QString, how);
    QFETCH(int, status);
    QFETCH(QString, reason);

    // The upload stops after the byte it was sending, told once; the port is closed and given
    // back at the speed it had.
    PtyDevice device;
    termios found = device.lineSettings();
    cfsetspeed(&found, B9600);
    device.setLineSettings(found);
    QProcess wine;
    startWine(wine, {{1, device.path()}},
              {exe(QStringLiteral("rq204-send.exe")), QStringLiteral("-q"), QStringLiteral("-p"),
               QStringLiteral("1"), QString(40, u'x')});
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += device.take()).size() >= 3, 60000);
    if (how == u"interrupt")
        QProcess::execute(QStringLiteral("pkill"), {QStringLiteral("-INT"), QStringLiteral("-x"),
                                                    QStringLiteral("rq204-send.exe")});
    else if (how == u"unplug")
        device.unplug();
    else
        device.stopTaking();
    QVERIFY(wine.waitForFinished(30000));
    received += device.take();
    QCOMPARE(wine.exitCode(), status);
    QCOMPARE(lines(wine.readAllStandardError()),
             QStringLiteral("rq204-send: The upload stopped after %1 of 41 characters: %2.\n")
                 .arg(received.size())
                 .arg(reason));
    QCOMPARE(received, QByteArray(received.size(), 'x'));
    if (how != u"unplug")
        QCOMPARE(device.lineSettings().c_cflag & CBAUD, tcflag_t(B9600));
}

void TestWine::window_data()
{
    QTest::addColumn<int>("com"); // the one COM port of the PC

    // Found by the start-up probe, as on a PC with a built-in port.
    QTest::newRow("COM1") << 1;
    // A USB adapter as Windows numbers it: put in the port box, although not listed.
    QTest::newRow("COM4 alone") << 4;
}

void TestWine::window()
{
    QFETCH(int, com);
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X server: CTest runs this test under xvfb-run");
    if (m_windowManager.state() == QProcess::NotRunning)
        QVERIFY(startWindowManager(m_windowManager));
    QProcess device;
    const QString pty = startDevice(device, m_scratch.filePath(QStringLiteral("port")));
    QVERIFY(!pty.isEmpty());
    QProcess wine;
    // Started as from the Start menu: the start-up opens the PC's port.
    startWine(wine, {{com, pty}}, {exe(QStringLiteral("rq204-upload.exe"))});
    // What xdotool printed, or nothing where it failed.
    const auto xdotool = [](const QStringList &arguments) -> std::optional<QString> {
        QProcess tool;
        tool.start(QStringLiteral("xdotool"), arguments);
        if (!tool.waitForFinished(20000) || tool.exitCode() != 0)
            return std::nullopt;
        return QString::fromLatin1(tool.readAllStandardOutput()).trimmed();
    };
    std::optional<QString> found;
    QTRY_VERIFY_WITH_TIMEOUT(
        (found = xdotool({"search", "--name", "^RQ204 Message upload utility$"})).has_value(),
        60000);
    const QString window = found->split(u'\n').constFirst();
    QVERIFY(xdotool({"windowactivate", "--sync", window}));
    // Active is not yet typed into: keys go where the X server's focus is, which wine takes a
    // moment later.
    QTRY_COMPARE_WITH_TIMEOUT(xdotool({"getwindowfocus"}).value_or(QString()), window, 10000);
    // The message box has the focus; Tab goes on to the port box, Clear and Send to LCD.
    xdotool({"type", "--delay", "40", "$iiiiiiiiii|"});
    xdotool({"key", "Return"});
    xdotool({"type", "--delay", "40", "$MMMMMMMMMM|"});
    xdotool({"key", "Tab"});
    // A fixed-pitch face, whatever stands in for Courier New: the two bars end the two lines at
    // the same column of the message box (at 24, 80 in the window, 265 by 107), once drawn.
    QList<int> lineEnds; // the rightmost ink of each line of text
    const auto measured = [&] {
        const QImage box = QGuiApplication::primaryScreen()
                               ->grabWindow(window.toULongLong(), 24, 80, 265, 107)
                               .toImage();
        lineEnds.clear();
        for (int y = 0, inLine = false; y < box.height(); ++y) {
            int right = -1;
            for (int x = 4; x < box.width() - 20; ++x)
                right = qGray(box.pixel(x, y)) < 128 ? x : right;
            if (right >= 0 && !inLine)
                lineEnds.append(right);
            else if (right >= 0)
                lineEnds.last() = std::max(lineEnds.last(), right);
            inLine = right >= 0;
        }
        return lineEnds.size() == 2 && std::abs(lineEnds[0] - lineEnds[1]) <= 1;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(measured(),
                              qPrintable(QStringLiteral("%1 lines, ending at %2 %3")
                                             .arg(lineEnds.size())
                                             .arg(lineEnds.value(0))
                                             .arg(lineEnds.value(1))),
                              10000);
    xdotool({"key", "--delay", "100", "Tab", "Tab", "space"});
    QVERIFY(device.waitForFinished(30000));
    const QJsonObject summary = summaryOf(device.readAllStandardOutput());
    QCOMPARE(summary.value("bytes").toString(),
             QStringLiteral("0B 69 69 69 69 69 69 69 69 69 69 7C 0D 0A 0B 4D 4D 4D 4D 4D 4D 4D 4D "
                            "4D 4D 7C 0D"));
    QCOMPARE(summary.value("baud").toInt(), 2400);
    // Closed as a user closes it: the window manager's Alt+F4 asks the window to close.
    QVERIFY(xdotool({"windowactivate", "--sync", window}));
    xdotool({"key", "alt+F4"});
    QVERIFY2(wine.waitForFinished(30000), qPrintable(said(wine)));
    QCOMPARE(wine.exitCode(), 0);
}

void TestWine::installer()
{
    const QString setup = qEnvironmentVariable("RQ204_WINDOWS_INSTALLER");
    QVERIFY2(QFile::exists(setup), qPrintable(setup));
    const QString prefix = m_scratch.filePath(QStringLiteral("prefix"));
    const QString folder =
        prefix + QStringLiteral("/drive_c/Program Files/RQ204 message upload utility");
    const QString shortcut = prefix + QStringLiteral("/drive_c/ProgramData/Microsoft/Windows/"
                                                     "Start Menu/Programs/RQ204 message upload "
                                                     "utility.lnk");
    const auto filesIn = [](const QString &root) {
        QStringList files;
        QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << it.next().mid(root.size());
        files.sort();
        return files;
    };

    // The uninstaller runs on in a copy of itself: wineserver -w waits for it.
    QProcess wine;
    startWine(wine, {},
              {QStringLiteral("wine64 \"$0\" /S && wine64 \"C:\\\\Program Files\\\\RQ204 message "
                              "upload utility\\\\rq204-send.exe\" --version"),
               setup},
              true, prefix);
    QVERIFY(wine.waitForFinished(120000));
    QCOMPARE(wine.exitCode(), 0);
    QCOMPARE(QString::fromLocal8Bit(wine.readAllStandardOutput()).trimmed(),
             QStringLiteral("rq204-send %1").arg(QStringLiteral(RQ204_VERSION)));
    QCOMPARE(filesIn(folder), filesIn(m_stage.path()) << QStringLiteral("/uninstall.exe"));
    QVERIFY(QFile::exists(shortcut));
    QFile registry(prefix + QStringLiteral("/system.reg"));
    QVERIFY(registry.open(QIODevice::ReadOnly));
    QVERIFY(registry.readAll().contains("Uninstall\\\\rq204-upload]"));
    registry.close();

    startWine(wine, {},
              {QStringLiteral("wine64 \"C:\\\\Program Files\\\\RQ204 message upload "
                              "utility\\\\uninstall.exe\" /S && wineserver -w")},
              true, prefix);
    QVERIFY(wine.waitForFinished(120000));
    QCOMPARE(wine.exitCode(), 0);
    QVERIFY2(!QFileInfo::exists(folder), qPrintable(filesIn(folder).join(u' ')));
    QVERIFY(!QFile::exists(shortcut));
    QVERIFY(registry.open(QIODevice::ReadOnly));
    QVERIFY(!registry.readAll().contains("Uninstall\\\\rq204-upload]"));
}

QTEST_MAIN(TestWine)
#include "tst_wine.moc"
