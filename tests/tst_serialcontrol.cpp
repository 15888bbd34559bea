#include "comwords.h"
#include "localport.h"
#include "portselection.h"
#include "ptydevice.h"
#include "serialcontrol.h"
#include "serialerror.h"
#include "windows1252.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

// How another program holds the device in portInUse.
enum class Holder {
    Nobody,
    QtPort,           // a QSerialPort (QtPortHolder): Qt's lock file and exclusive mode
    QtPortOtherName,  // the same, while this program names the device by a symlink
    Flock,            // flock() on another open of the device in this process
    FlockChild,       // flock() in another process, as picocom does
    LiveLockFile,     // a UUCP lock file with a live PID, written a minute ago, as minicom does
    NamedLockFile,    // a UUCP lock line naming the program, "  1234 sleep root"
    LongNameLockFile, // Qt's lock file naming a program whose name the system keeps 15 bytes of
    ReusedPid,        // a lock file naming minicom, whose PID a later process has been given
    EndedLockFile,    // a fresh UUCP lock of minicom, which has ended
    EmptyLockFile,    // a lock file that names no process
    ExclusiveMode,    // TIOCEXCL held by another process
    KilledExclusive,  // TIOCEXCL left behind by a process killed while it held the device
    TerminalSession,  // the controlling terminal of a session running on it
};

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

const char ClosedFolderRow[] = "folder the user may not enter";

// What this test's own binary does when it stands in for another program (see main()).
const char HoldExclusively[] = "--hold-exclusively";
const char RunSession[] = "--run-session";
const char OpenAsNobody[] = "--open";

// Starts this binary as another program that holds `path` in `how`; it has it once it says
// "held", and lets go at the end of its input.
bool startHolder(QProcess &child, const char *how, const QString &path)
{
    child.start(QCoreApplication::applicationFilePath(), {QLatin1String(how), path});
    if (!child.waitForStarted() || !child.waitForReadyRead(10000))
        return false;
    return child.readLine() == "held\n";
}

} // namespace

Q_DECLARE_METATYPE(Holder)

// The serial control against pseudo-terminals: line settings, failures and their words.
class TestSerialControl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void deviceLine_data();
    void deviceLine();
    void settingsText_data();
    void settingsText();
    void openFailures_data();
    void openFailures();
    void portInUse_data();
    void portInUse();
    void asAnotherUser_data();
    void asAnotherUser();
    void openErrorWords_data();
    void openErrorWords();
    void windowsWords_data();
    void windowsWords();
    void portCantChangeWhileOpen();
    void whatTheDeviceSaysIsDropped();
    void windows1252_data();
    void windows1252();

private:
    QTemporaryDir m_scratch; // the links and folders the rows name
};

void TestSerialControl::initTestCase()
{
    QVERIFY(m_scratch.isValid());
    QVERIFY(QFile::link(m_scratch.filePath("loop-b"), m_scratch.filePath("loop-a")));
    QVERIFY(QFile::link(m_scratch.filePath("loop-a"), m_scratch.filePath("loop-b")));
    QVERIFY(QDir().mkdir(m_scratch.filePath("closed")));
    QVERIFY(QFile::setPermissions(m_scratch.filePath("closed"), {}));
}

void TestSerialControl::cleanupTestCase()
{
    // Open again, or the scratch folder could not be removed.
    QFile::setPermissions(m_scratch.filePath("closed"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestSerialControl::deviceLine_data()
{
    // Where the far end reads a setting: the four flag words, then the two speeds.
    QTest::addColumn<int>("word");
    QTest::addColumn<uint>("mask");
    QTest::addColumn<uint>("value");

    QTest::newRow("input speed") << 4 << ~0u << uint(B2400);
    QTest::newRow("output speed") << 5 << ~0u << uint(B2400);
    QTest::newRow("one stop bit") << 2 << uint(CSTOPB) << 0u;
    QTest::newRow("no RTS/CTS") << 2 << uint(CRTSCTS) << 0u;
    QTest::newRow("modem lines ignored") << 2 << uint(CLOCAL) << uint(CLOCAL);
    QTest::newRow("no XON/XOFF") << 0 << uint(IXON | IXOFF | IXANY) << 0u;
    QTest::newRow("input bytes as they come")
        << 0 << uint(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL) << 0u;
    // A line feed must not grow a carriage return.
    QTest::newRow("no output processing") << 1 << uint(OPOST) << 0u;
    QTest::newRow("no line editing, echo or signals")
        << 3 << uint(ICANON | ECHO | ECHONL | ISIG | IEXTEN) << 0u;
    // Data size and parity can't be seen here: Linux ptys always run CS8 without parity.
}

void TestSerialControl::deviceLine()
{
    QFETCH(int, word);
    QFETCH(uint, mask);
    QFETCH(uint, value);

    // Found as another program left it, every setting the other way round.
    PtyDevice device;
    termios found = device.lineSettings();
    found.c_iflag |=
        IXON | IXOFF | IXANY | IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL;
    found.c_oflag |= OPOST | ONLCR;
    found.c_cflag = (found.c_cflag | CSTOPB | CRTSCTS) & ~tcflag_t(CLOCAL);
    found.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN;
    QVERIFY(cfsetispeed(&found, B9600) == 0 && cfsetospeed(&found, B4800) == 0);
    device.setLineSettings(found);

    SerialControl comm;
    Serial::selectPort(comm, QStringLiteral("1"), hostWith({device.path()}));
    QVERIFY(comm.portOpen());
    QCOMPARE(comm.settings(), QStringLiteral("2400,N,8,1"));
    const termios line = device.lineSettings();
    const uint words[] = {uint(line.c_iflag), uint(line.c_oflag),       uint(line.c_cflag),
                          uint(line.c_lflag), uint(cfgetispeed(&line)), uint(cfgetospeed(&line))};
    QCOMPARE(words[word] & mask, value);
    comm.setOutput('\n');
    QCOMPARE(device.take(), QByteArray("\n"));
}

void TestSerialControl::settingsText_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("valid");

    QTest::newRow("device line") << "2400,N,8,1" << true;
    QTest::newRow("lower case parity, blanks") << "9600, e, 7, 2" << true;
    QTest::newRow("one and a half stop bits") << "1200,O,5,1.5" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("three fields") << "2400,N,8" << false;
    QTest::newRow("five fields") << "2400,N,8,1,1" << false;
    QTest::newRow("baud not a number") << "fast,N,8,1" << false;
    QTest::newRow("zero baud") << "0,N,8,1" << false;
    QTest::newRow("unknown parity") << "2400,X,8,1" << false;
    QTest::newRow("nine data bits") << "2400,N,9,1" << false;
    QTest::newRow("three stop bits") << "2400,N,8,3" << false;
}

void TestSerialControl::settingsText()
{
    QFETCH(QString, settings);
    QFETCH(bool, valid);

    SerialControl comm;
    const QString before = comm.settings();
    if (valid) {
        comm.setSettings(settings);
        QCOMPARE(comm.settings(), settings);
    } else {
        QVERIFY_THROWS_EXCEPTION(SerialError, comm.setSettings(settings));
        QCOMPARE(comm.settings(), before); // a refused text changes nothing
    }
}

void TestSerialControl::openFailures_data()
{
    QTest::addColumn<QString>("selector");
    QTest::addColumn<QString>("reason");

    QTest::newRow("no such port") << "3"
                                  << "port 3 could not be opened: no such port";
    QTest::newRow("port 0") << ""
                            << "port 0 could not be opened: no such port";
    QTest::newRow("negative") << "-1"
                              << "port -1 could not be opened: no such port";
    QTest::newRow("out of range")
        << "99999"
        << "\"99999\" is out of the range of port numbers (-32768 to 32767)";
    // What the user typed is quoted with its middle left out, however much was pasted.
    QTest::newRow("out of range, pasted")
        << QString(5000, u'9')
        << "\"" + QString(29, u'9') + "\u2026" + QString(29, u'9') +
               "\" is out of the range of port numbers (-32768 to 32767)";
    QTest::newRow("missing device, pasted")
        << "/dev/" + QString(200, u'x') + "/end"
        << "/dev/" + QString(24, u'x') + "\u2026" + QString(25, u'x') +
               "/end could not be opened: no such device";
    QTest::newRow("missing device") << "/dev/rq204-none"
                                    << "/dev/rq204-none could not be opened: no such device";
    QTest::newRow("below a file") << "/dev/null/tty"
                                  << "/dev/null/tty could not be opened: no such device";
    QTest::newRow("not a tty") << "/dev/null"
                               << "/dev/null could not be opened: it is not a serial device";
    QTest::newRow("pty master") << "/dev/ptmx"
                                << "/dev/ptmx could not be opened: it is not a serial device";
    QTest::newRow("folder") << "/dev"
                            << "/dev could not be opened: it is a folder, not a device";
    const QString loop = m_scratch.filePath("loop-a");
    QTest::newRow("symlink loop") << loop
                                  << loop + " could not be opened: its links go round in a loop; "
                                            "name the device itself, such as /dev/ttyUSB0";
    const QString tooLong = "/dev/" + QString(300, u'a');
    QTest::newRow("over-long name")
        << tooLong
        << "/dev/" + QString(24, u'a') + "\u2026" + QString(29, u'a') +
               " could not be opened: the path is too long; name the device itself, such as "
               "/dev/ttyUSB0";
    const QString closed = m_scratch.filePath("closed");
    QTest::newRow(ClosedFolderRow)
        << closed + "/ttyUSB0"
        << QStringLiteral("%1/ttyUSB0 could not be opened: your user may not enter the folder %1; "
                          "name the device by a path you may enter, such as /dev/ttyUSB0")
               .arg(closed);
}

void TestSerialControl::openFailures()
{
    QFETCH(QString, selector);
    QFETCH(QString, reason);
    if (QTest::currentDataTag() == QByteArray(ClosedFolderRow) && ::geteuid() == 0)
        QSKIP("root enters every folder");

    PtyDevice device;
    SerialControl comm;
    const HostPorts host = hostWith({device.path()});
    Serial::selectPort(comm, QStringLiteral("1"), host);

    try {
        Serial::selectPort(comm, selector, host);
        QFAIL("the selection should have failed");
    } catch (const SerialError &error) {
        QCOMPARE(error.message(), reason);
    }
    QVERIFY(!comm.portOpen());
    // Nothing reaches the old port.
    try {
        comm.setOutput('A');
        QFAIL("output on a closed port should fail");
    } catch (const SerialError &error) {
        QCOMPARE(error.message(), QStringLiteral("no serial port is open"));
    }
    QCOMPARE(device.take(), QByteArray());
}

void TestSerialControl::portInUse_data()
{
    QTest::addColumn<Holder>("holder");
    // After "... could not be opened: "; %1 stands for the holder's PID, %2 for the lock file;
    // empty where the port opens.
    QTest::addColumn<QString>("reason");

    const QString inUse = QStringLiteral("it is in use by another program");
    QTest::newRow("Qt port") << Holder::QtPort << inUse;
    QTest::newRow("Qt port, named here by a symlink") << Holder::QtPortOtherName << inUse;
    QTest::newRow("flock") << Holder::Flock << inUse;
    QTest::newRow("flock in another process")
        << Holder::FlockChild << "it is in use by another program (PID %1, flock)";
    QTest::newRow("lock file of a live process, a minute old")
        << Holder::LiveLockFile << "it is in use by another program (PID %1, sleep)";
    QTest::newRow("lock line naming the live process")
        << Holder::NamedLockFile << "it is in use by another program (PID %1, sleep)";
    QTest::newRow("Qt lock of a live process with a long name")
        << Holder::LongNameLockFile << "it is in use by another program (PID %1, sleep-with-a-lo)";
    QTest::newRow("lock file whose PID has passed to another program")
        << Holder::ReusedPid << QString();
    QTest::newRow("fresh lock file of a program that has ended")
        << Holder::EndedLockFile << QString();
    QTest::newRow("lock file that names no process")
        << Holder::EmptyLockFile
        << "it is locked by %2, which does not say by whom; delete that file if no program uses "
           "the port";
    QTest::newRow("exclusive mode")
        << Holder::ExclusiveMode << "it is in use by another program (PID %1, tst_serialcontr)";
    // What a root open meets; anyone else is told so (asAnotherUser).
    QTest::newRow("exclusive mode left by a killed program")
        << Holder::KilledExclusive << (::geteuid() == 0 ? QString() : QStringLiteral("marked"));
    QTest::newRow("terminal of a session")
        << Holder::TerminalSession << "it is the terminal of PID %1 (tst_serialcontr)";
    // A lock file name longer than a file name may be must not stand in the way.
    QTest::newRow("nobody, named here by a long symlink") << Holder::Nobody << QString();
}

void TestSerialControl::portInUse()
{
    QFETCH(Holder, holder);
    QFETCH(QString, reason);
    if (reason == u"marked")
        QSKIP("a root open takes over such a mark; asAnotherUser shows the rest");

    // Spare pseudo-terminals first: the device's inode (its number + 3) then has two digits,
    // which read differently as hex.
    std::vector<std::unique_ptr<PtyDevice>> spares(8);
    for (auto &spare : spares)
        spare = std::make_unique<PtyDevice>();
    PtyDevice device;
    const QByteArray devicePath = QFile::encodeName(device.path());
    QString selector = QStringLiteral("1");
    QString label = QStringLiteral("port 1 (%1)").arg(device.path());
    qint64 holderPid = 0;
    QByteArray lockContents;

    QtPortHolder otherProgram(device.path());
    QProcess child;
    int otherDescriptor = -1;
    QString link;
    QString lockFile;
    // Killing flock would leave its cat behind; cat ends at the end of its input, and flock
    // then, as this binary's holders do.
    auto endChild = [&] {
        if (child.state() == QProcess::NotRunning)
            return true;
        child.closeWriteChannel();
        if (holder != Holder::FlockChild && holder != Holder::ExclusiveMode &&
            holder != Holder::TerminalSession)
            child.kill();
        return child.waitForFinished();
    };
    const auto cleanUp = qScopeGuard([&] {
        if (!endChild()) {
            child.kill();
            child.waitForFinished();
        }
        if (otherDescriptor >= 0)
            ::close(otherDescriptor);
        if (!link.isEmpty())
            QFile::remove(link);
        if (!lockFile.isEmpty())
            QFile::remove(lockFile);
    });
    QString linkName; // this program names the device by a symlink of this name
    QTemporaryDir programs;

    switch (holder) {
    case Holder::Nobody:
        linkName = QString(240, u'n');
        break;
    case Holder::QtPort:
        QVERIFY(otherProgram.open());
        break;
    case Holder::QtPortOtherName:
        QVERIFY(otherProgram.open());
        linkName = QStringLiteral("by-id-link");
        break;
    case Holder::Flock:
        otherDescriptor = ::open(devicePath.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        QVERIFY(otherDescriptor >= 0);
        QCOMPARE(::flock(otherDescriptor, LOCK_EX | LOCK_NB), 0);
        break;
    case Holder::FlockChild:
        if (QStandardPaths::findExecutable(QStringLiteral("flock")).isEmpty())
            QSKIP("the flock program (util-linux) is not installed");
        // --close: only flock itself holds the lock, cat's copy of it is closed by the time
        // cat echoes.
        child.start(QStringLiteral("flock"),
                    {QStringLiteral("--close"), device.path(), QStringLiteral("cat")});
        QVERIFY(child.waitForStarted());
        child.write("started\n");
        QTRY_VERIFY(child.canReadLine());
        QCOMPARE(child.readLine(), QByteArray("started\n"));
        QVERIFY(device.marks().contains("flock"));
        holderPid = child.processId();
        break;
    case Holder::LiveLockFile:
    case Holder::NamedLockFile:
    case Holder::LongNameLockFile:
    case Holder::ReusedPid:
    case Holder::EndedLockFile:
    case Holder::EmptyLockFile: {
        // Where QSerialPort looks first and minicom writes.
        if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
            QSKIP("/var/lock is not writable here");
        QString program = QStandardPaths::findExecutable(QStringLiteral("sleep"));
        if (holder == Holder::LongNameLockFile) {
            const QString copy = programs.filePath(QStringLiteral("sleep-with-a-long-name"));
            QVERIFY(QFile::copy(program, copy));
            QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner));
            program = copy;
        }
        if (holder != Holder::EmptyLockFile) {
            child.start(program, {QStringLiteral("20")});
            QVERIFY(child.waitForStarted());
            holderPid = child.processId();
        }
        if (holder == Holder::EndedLockFile) {
            child.kill();
            QVERIFY(child.waitForFinished());
        }
        lockFile = QStringLiteral("/var/lock/LCK..") + device.path().mid(5).replace(u'/', u'_');
        const QByteArray pid = QByteArray::number(holderPid).rightJustified(10, ' ');
        if (holder == Holder::LiveLockFile)
            lockContents = pid + '\n';
        else if (holder == Holder::NamedLockFile)
            lockContents = pid + " sleep root\n";
        else if (holder == Holder::EndedLockFile)
            lockContents = pid + " minicom root\n";
        else if (holder == Holder::LongNameLockFile)
            lockContents = QByteArray::number(holderPid) + "\nsleep-with-a-long-name\n";
        else if (holder == Holder::ReusedPid)
            lockContents = QByteArray::number(holderPid) + "\nminicom\n";
        QFile file(lockFile);
        QVERIFY(file.open(QIODevice::NewOnly));
        QCOMPARE(file.write(lockContents), lockContents.size());
        if (holder != Holder::EndedLockFile)
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                                     QFileDevice::FileModificationTime));
        break;
    }
    case Holder::ExclusiveMode:
    case Holder::KilledExclusive:
        QVERIFY(startHolder(child, HoldExclusively, device.path()));
        holderPid = child.processId();
        if (holder == Holder::KilledExclusive) {
            // KILL can't be caught: the mark stays on the pty, whose far end lives on.
            child.kill();
            QVERIFY(child.waitForFinished());
        }
        break;
    case Holder::TerminalSession:
        QVERIFY(startHolder(child, RunSession, device.path()));
        holderPid = child.processId();
        break;
    }
    if (!linkName.isEmpty()) {
        link = m_scratch.filePath(linkName);
        QVERIFY(QFile::link(device.path(), link));
        selector = label = link;
    }

    SerialControl comm;
    const HostPorts host = hostWith({device.path()});
    const int descriptors = openDescriptors();
    const int opens = device.opens();
    // A look (rq204-send --list-ports) leaves everything as it was, and opens nothing.
    const QStringList marks = device.marks();
    checkDevice(link.isEmpty() ? device.path() : link);
    QCOMPARE(device.marks(), marks);
    QCOMPARE(device.opens(), opens);
    try {
        Serial::selectPort(comm, selector, host);
        if (!reason.isEmpty())
            QFAIL("a port held by another program should not open");
    } catch (const SerialError &error) {
        const QString words = QString(reason)
                                  .replace(QStringLiteral("%1"), QString::number(holderPid))
                                  .replace(QStringLiteral("%2"), lockFile);
        QCOMPARE(error.message(), QStringLiteral("%1 could not be opened: %2").arg(label, words));
        QVERIFY(!comm.portOpen());
        QCOMPARE(openDescriptors(), descriptors); // nothing of the attempt stays open
        // Another program's lock file, mark and line are as it left them.
        QCOMPARE(device.marks(), marks);
    }
    if (holder == Holder::ExclusiveMode)
        QCOMPARE(device.take(), QByteArray()); // closed again without a byte written
    if (holder == Holder::TerminalSession)
        QCOMPARE(device.opens(), opens); // a shell's terminal is never set to 2400 raw

    // Once the other program lets go, the port opens; a lock file left by a process that has
    // ended is taken over.
    otherProgram.close();
    if (otherDescriptor >= 0)
        ::close(otherDescriptor);
    otherDescriptor = -1;
    QVERIFY(endChild());
    if (holder == Holder::EmptyLockFile)
        QVERIFY(QFile::remove(lockFile)); // as the user is told
    QVERIFY_THROWS_NO_EXCEPTION(Serial::selectPort(comm, selector, host));
    QVERIFY(comm.portOpen());
    if (!lockFile.isEmpty()) {
        QFile file(lockFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readLine().trimmed().toLongLong(), QCoreApplication::applicationPid());
    }
    comm.setOutput('A');
    QCOMPARE(device.take(), QByteArray("A"));
    // Open, it is marked for every kind of program that looks: a lock file, exclusive mode,
    // flock().
    const QStringList held = device.marks();
    QCOMPARE(held.mid(2), (QStringList{"exclusive mode", "flock"}));
    QVERIFY(held.at(1).contains(QString::number(QCoreApplication::applicationPid())));
    // Closed, the port is left with its line as found and nothing of this program's on it.
    comm.setPortOpen(false);
    QCOMPARE(device.marks(), QStringList{marks.constFirst()});
}

void TestSerialControl::asAnotherUser_data()
{
    QTest::addColumn<bool>("killedHolder"); // else a lock file of an ended program, root's
    QTest::addColumn<QString>("words");     // %1: the lock file, %2: its PID

    QTest::newRow("exclusive mode that nobody holds")
        << true
        << "it is marked for one program only, but no program has it open; restart the program "
           "that provides it (such as socat), or unplug the adapter and plug it in again";
    QTest::newRow("lock file of an ended program that this user may not delete")
        << false
        << "it is locked by %1, left by a program that has ended (PID %2), and this user may not "
           "delete that file; ask whoever looks after this computer to delete it";
}

void TestSerialControl::asAnotherUser()
{
    QFETCH(bool, killedHolder);
    QFETCH(QString, words);
    if (::geteuid() != 0)
        QSKIP("needs root, to act as the user nobody");

    PtyDevice device;
    QProcess holder;
    QString lockFile;
    const auto cleanUp = qScopeGuard([&] {
        if (!lockFile.isEmpty())
            QFile::remove(lockFile);
    });
    // The pty is nobody's, as a pty belongs to the user who made it.
    QCOMPARE(::chown(QFile::encodeName(device.path()).constData(), 65534, 65534), 0);
    if (killedHolder) {
        QVERIFY(startHolder(holder, HoldExclusively, device.path()));
        holder.kill();
        QVERIFY(holder.waitForFinished());
    } else {
        holder.start(QStringLiteral("sleep"), {QStringLiteral("20")});
        QVERIFY(holder.waitForStarted());
        const qint64 ended = holder.processId();
        holder.kill();
        QVERIFY(holder.waitForFinished());
        lockFile = QStringLiteral("/var/lock/LCK..") + device.path().mid(5).replace(u'/', u'_');
        QFile file(lockFile);
        QVERIFY(file.open(QIODevice::NewOnly));
        file.write(QByteArray::number(ended).rightJustified(10, ' ') + " minicom root\n");
        words = words.arg(lockFile).arg(ended);
    }

    // This binary opens the device as nobody, from a folder nobody may enter.
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/rq204-XXXXXX"));
    const QString copy = folder.filePath(QStringLiteral("opener"));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copy));
    QVERIFY(QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                     QFile::ExeOwner | QFile::ExeOther));
    QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                            QFile::ExeOther));
    QProcess opener;
    opener.setChildProcessModifier([] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
    });
    opener.start(copy, {QLatin1String(OpenAsNobody), device.path()});
    QVERIFY(opener.waitForFinished(10000));
    QCOMPARE(opener.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(opener.readAllStandardOutput()), words);
    if (!lockFile.isEmpty())
        QVERIFY(QFile::exists(lockFile));
}

// The errors no pty can be made to give here, root passing every folder among them.
void TestSerialControl::openErrorWords_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("closedFolder");
    QTest::addColumn<QString>("words");

    QTest::newRow("device refuses the user")
        << EACCES << QString()
        << "permission denied; add your user to the dialout group (sudo adduser $USER dialout) "
           "and log in again";
    QTest::newRow("folder refuses the user")
        << EACCES << "/home/ann"
        << "your user may not enter the folder /home/ann; name the device by a path you may "
           "enter, such as /dev/ttyUSB0";
    QTest::newRow("unplugged") << ENXIO << QString()
                               << "the device is not there any more (unplugged?); plug it in and "
                                  "choose the port again";
    QTest::newRow("no answer") << EIO << QString()
                               << "the device does not respond; check that it is plugged in and "
                                  "switched on";
    QTest::newRow("exclusive, not as root")
        << EBUSY << QString() << "it is in use by another program";
    QTest::newRow("refused by the system")
        << EPERM << QString()
        << "the system does not let this program open it; ask whoever looks after this computer";
    QTest::newRow("out of descriptors")
        << EMFILE << QString()
        << "the system is short of resources; close some programs and try "
           "again";
    QTest::newRow("unforeseen") << EROFS << QString()
                                << "the system reports \"Read-only file system\"";
}

void TestSerialControl::openErrorWords()
{
    QFETCH(int, error);
    QFETCH(QString, closedFolder);
    QFETCH(QString, words);
    QCOMPARE(openErrorText(error, closedFolder), words);
}

// What Windows answers, in the words the Windows build says it: wine gives few of these.
void TestSerialControl::windowsWords_data()
{
    QTest::addColumn<int>("written"); // -2: the open failed; -1: the write failed
    QTest::addColumn<int>("error");   // what GetLastError() said
    QTest::addColumn<QString>("words");

    const QString inUse = QStringLiteral("it is in use by another program");
    QTest::newRow("open: no such port") << -2 << 2 << "no such port";
    QTest::newRow("open: access denied") << -2 << 5 << inUse;
    QTest::newRow("open: lock violation") << -2 << 33 << inUse;
    QTest::newRow("open: unplugged") << -2 << 1167
                                     << "the device does not respond; check that it is plugged in "
                                        "and switched on";
    QTest::newRow("open: line settings refused")
        << -2 << 87 << "the port does not take the device's line settings";
    QTest::newRow("open: unforeseen") << -2 << 1784 << "the system reports \"what Windows says\"";
    QTest::newRow("write: taken") << 1 << 0 << "";
    QTest::newRow("write: nothing taken within the timeout") << 0 << 0 << "stopped taking bytes";
    QTest::newRow("write: timed out") << -1 << 121 << "stopped taking bytes";
    QTest::newRow("write: adapter removed") << -1 << 1617 << "was disconnected";
    QTest::newRow("write: unforeseen")
        << -1 << 1784 << "stopped working (the system reports \"what Windows says\")";
}

void TestSerialControl::windowsWords()
{
    QFETCH(int, written);
    QFETCH(int, error);
    QFETCH(QString, words);
    const QString system = QStringLiteral("what Windows says");
    QCOMPARE(written == -2 ? Serial::comOpenErrorText(quint32(error), system)
                           : Serial::comWriteProblem(written >= 0, quint32(std::max(written, 0)),
                                                     quint32(error), system),
             words);
}

void TestSerialControl::whatTheDeviceSaysIsDropped()
{
    // Nothing is read from the port, yet what arrives must not pile up, nor keep waking the
    // program up, nor pass for the device going away.
    PtyDevice device;
    SerialControl comm;
    QSignalSpy lost(&comm, &SerialControl::portLost);
    QVERIFY(lost.isValid());
    Serial::selectPort(comm, QStringLiteral("1"), hostWith({device.path()}));
    device.send("noise");
    // Arrived (the pty hands bytes on a moment later) before the program gets to see them.
    for (int wait = 0; wait < 1000 && device.unread() < 5; ++wait)
        QThread::usleep(1000);
    QCOMPARE(device.unread(), 5);
    QTRY_COMPARE(device.unread(), 0);
    QVERIFY(comm.portOpen());
    QCOMPARE(lost.count(), 0);
    comm.setOutput('A');
    QCOMPARE(device.take(), QByteArray("A"));
}

void TestSerialControl::portCantChangeWhileOpen()
{
    PtyDevice device;
    SerialControl comm;
    Serial::selectPort(comm, QStringLiteral("1"), hostWith({device.path(), device.path()}));
    QVERIFY_THROWS_EXCEPTION(SerialError, comm.setCommPort(2));
    QVERIFY_THROWS_EXCEPTION(SerialError, comm.setPortOpen(true));
    QCOMPARE(comm.commPort(), 1);
    QVERIFY(comm.portOpen());
}

void TestSerialControl::windows1252_data()
{
    QTest::addColumn<QChar>("character");
    QTest::addColumn<uchar>("byte");

    QTest::newRow("ASCII") << QChar(u'A') << uchar('A');
    QTest::newRow("NUL") << QChar(u'\0') << uchar(0);
    QTest::newRow("DEL") << QChar(0x7f) << uchar(0x7f);
    QTest::newRow("no-break space") << QChar(0xa0) << uchar(0xa0);
    QTest::newRow("y diaeresis") << QChar(0xff) << uchar(0xff);
    QTest::newRow("euro") << QChar(0x20ac) << uchar(0x80);
    QTest::newRow("left double quote") << QChar(0x201c) << uchar(0x93);
    QTest::newRow("S caron") << QChar(0x0160) << uchar(0x8a);
    QTest::newRow("s caron") << QChar(0x0161) << uchar(0x9a);
    QTest::newRow("OE") << QChar(0x0152) << uchar(0x8c);
    QTest::newRow("oe") << QChar(0x0153) << uchar(0x9c);
    QTest::newRow("Z caron") << QChar(0x017d) << uchar(0x8e);
    QTest::newRow("z caron") << QChar(0x017e) << uchar(0x9e);
    QTest::newRow("Y diaeresis") << QChar(0x0178) << uchar(0x9f);
    QTest::newRow("C1 control") << QChar(0x81) << uchar('?');
    QTest::newRow("Greek") << QChar(0x03a9) << uchar('?');
    QTest::newRow("lone surrogate") << QChar(0xd83d) << uchar('?');
    QTest::newRow("SUB itself is ASCII") << QChar(0x1a) << uchar(0x1a);
}

void TestSerialControl::windows1252()
{
    QFETCH(QChar, character);
    QFETCH(uchar, byte);
    QCOMPARE(uchar(windows1252Byte(character.unicode())), byte);
}

namespace {

// Another program that holds `path`: in exclusive mode, or as the terminal of its own session.
// It says "held" and keeps it until its input ends, then lets go as a real port's last close
// would.
int hold(const char *how, const char *path)
{
    const bool session = qstrcmp(how, RunSession) == 0;
    if (session && ::setsid() < 0)
        return 3;
    // A session leader that opens a terminal without O_NOCTTY gets it as its own.
    const int fd = ::open(path, O_RDWR | (session ? 0 : O_NOCTTY));
    if (fd < 0 || (!session && ::ioctl(fd, TIOCEXCL) != 0))
        return 3;
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    char rest[64];
    while (::read(STDIN_FILENO, rest, sizeof rest) > 0) {
    }
    ::ioctl(fd, TIOCNXCL);
    return 0;
}

// Opens `path` as whoever runs this and prints why it can't be opened.
int openOnce(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QString problem;
    const auto port =
        LocalPort::open(QString::fromLocal8Bit(argv[2]), QString(), LineSettings{}, problem);
    std::fputs(problem.toUtf8().constData(), stdout);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && (qstrcmp(argv[1], HoldExclusively) == 0 || qstrcmp(argv[1], RunSession) == 0))
        return hold(argv[1], argv[2]);
    if (argc == 3 && qstrcmp(argv[1], OpenAsNobody) == 0)
        return openOnce(argc, argv);
    QCoreApplication app(argc, argv);
    TestSerialControl test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serialcontrol.moc"
