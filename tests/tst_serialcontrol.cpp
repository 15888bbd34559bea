#include "portselection.h"
#include "ptydevice.h"
#include "serialcontrol.h"
#include "serialerror.h"

#include <QSerialPort>
#include <QTest>

// The serial control against pseudo-terminals: line settings, failures and their words.
class TestSerialControl : public QObject
{
    Q_OBJECT

private slots:
    void selectionAppliesTheDeviceLine();
    void settingsText_data();
    void settingsText();
    void openFailures_data();
    void openFailures();
    void portInUse();
    void outputTakesOneCharacter();
    void portCantChangeWhileOpen();
    void windows1252_data();
    void windows1252();
};

void TestSerialControl::selectionAppliesTheDeviceLine()
{
    PtyDevice device;
    SerialControl comm(portsAt({device.path()}));
    Serial::selectPort(comm, QStringLiteral("1"));
    QVERIFY(comm.portOpen());
    QCOMPARE(comm.settings(), QStringLiteral("2400,N,8,1"));

    const termios line = device.lineSettings();
    QCOMPARE(cfgetospeed(&line), speed_t(B2400));
    QCOMPARE(line.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(line.c_cflag & PARENB, tcflag_t(0));
    QCOMPARE(line.c_cflag & CSTOPB, tcflag_t(0));
    QCOMPARE(line.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(line.c_iflag & (IXON | IXOFF), tcflag_t(0));
    QCOMPARE(line.c_oflag & OPOST, tcflag_t(0)); // a line feed must not grow a carriage return
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

    SerialControl comm(portsAt({}));
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
    QTest::newRow("not a tty") << "/dev/null"
                               << "/dev/null could not be opened: it is not a serial device";
}

void TestSerialControl::openFailures()
{
    QFETCH(QString, selector);
    QFETCH(QString, reason);

    PtyDevice device;
    SerialControl comm(portsAt({device.path()}));
    Serial::selectPort(comm, QStringLiteral("1"));

    try {
        Serial::selectPort(comm, selector);
        QFAIL("the selection should have failed");
    } catch (const SerialError &error) {
        QCOMPARE(error.message(), reason);
    }
    QVERIFY(!comm.portOpen());
    // Nothing reaches the old port.
    try {
        comm.setOutput(QStringLiteral("A"));
        QFAIL("output on a closed port should fail");
    } catch (const SerialError &error) {
        QCOMPARE(error.message(), QStringLiteral("no serial port is open"));
    }
    QCOMPARE(device.take(), QByteArray());
}

void TestSerialControl::portInUse()
{
    PtyDevice device;
    QSerialPort otherProgram(device.path());
    QVERIFY(otherProgram.open(QIODevice::ReadWrite));

    SerialControl comm(portsAt({device.path()}));
    try {
        Serial::selectPort(comm, QStringLiteral("1"));
        QFAIL("a port held by another program should not open");
    } catch (const SerialError &error) {
        QCOMPARE(error.message(), QStringLiteral("port 1 (%1) could not be opened: it is in use by "
                                                 "another program")
                                      .arg(device.path()));
    }
    otherProgram.close();
    Serial::selectPort(comm, QStringLiteral("1"));
    QVERIFY(comm.portOpen());
}

void TestSerialControl::outputTakesOneCharacter()
{
    PtyDevice device;
    SerialControl comm(portsAt({device.path()}));
    Serial::selectPort(comm, QStringLiteral("1"));
    QVERIFY_THROWS_EXCEPTION(SerialError, comm.setOutput(QString()));
    QVERIFY_THROWS_EXCEPTION(SerialError, comm.setOutput(QStringLiteral("AB")));
    comm.setOutput(QStringLiteral("\n"));
    QCOMPARE(device.take(), QByteArray("\n"));
}

void TestSerialControl::portCantChangeWhileOpen()
{
    PtyDevice device;
    SerialControl comm(portsAt({device.path(), device.path()}));
    Serial::selectPort(comm, QStringLiteral("1"));
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
    QCOMPARE(uchar(SerialControl::toWindows1252(character)), byte);
}

QTEST_GUILESS_MAIN(TestSerialControl)
#include "tst_serialcontrol.moc"
