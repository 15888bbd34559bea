#include "portnumber.h"
#include "serialerror.h"

#include <QTest>

// The selector's text read as a port number, as the user may type it.
class TestPortNumber : public QObject
{
    Q_OBJECT

private slots:
    void reading_data();
    void reading();
    void devicePaths_data();
    void devicePaths();
};

void TestPortNumber::reading_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number"); // -99999: out of range

    const int OutOfRange = -99999;
    QTest::newRow("plain") << "2" << 2;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("letters") << "COM1" << 0;
    QTest::newRow("digit then letters") << "1abc" << 1;
    QTest::newRow("digits then half a pair") << QStringLiteral("12") + QChar(0xda00) << 12;
    QTest::newRow("&H digits then half a pair") << QStringLiteral("&H1F") + QChar(0xdc00) << 31;
    QTest::newRow("blank inside") << "1 2" << 12;
    QTest::newRow("blanks, tabs, line feeds anywhere") << " \t1\n 2 " << 12;
    QTest::newRow("carriage return stops") << "1\r2" << 1;
    QTest::newRow("minus") << "- 3" << -3;
    QTest::newRow("two signs") << "+-3" << 0;
    QTest::newRow("plus") << "+7" << 7;
    QTest::newRow("half to even, down") << "2.5" << 2;
    QTest::newRow("half to even, up") << "3.5" << 4;
    QTest::newRow("just over a half") << "2.50001" << 3;
    QTest::newRow("just under a half") << "3.49999" << 3;
    QTest::newRow("negative half") << "-2.5" << -2;
    QTest::newRow("one point only") << "1.2.3" << 1;
    QTest::newRow("point first") << ".6" << 1;
    QTest::newRow("point alone") << "." << 0;
    QTest::newRow("exponent") << "1e2" << 100;
    QTest::newRow("exponent D") << "1D2" << 100;
    QTest::newRow("negative exponent") << "250e-2" << 2;
    QTest::newRow("exponent without digits") << "1e" << 1;
    QTest::newRow("exponent sign without digits") << "1e+" << 1;
    QTest::newRow("leading zeros") << "0003" << 3;
    QTest::newRow("tiny") << "1e-400" << 0;
    QTest::newRow("zeros with a huge exponent") << "0e99999" << 0;
    QTest::newRow("hex") << "&H1F90" << 8080;
    QTest::newRow("hex lower case") << "&h10" << 16;
    QTest::newRow("hex, lower-case digits") << "&H1f" << 31;
    QTest::newRow("hex with blank") << "& H10" << 16;
    QTest::newRow("octal") << "&O17" << 15;
    QTest::newRow("octal stops at 8") << "&O18" << 1;
    QTest::newRow("ampersand alone") << "&" << 0;
    QTest::newRow("ampersand other") << "&X1" << 0;
    QTest::newRow("hex without digits") << "&H" << 0;
    QTest::newRow("largest") << "32767" << 32767;
    QTest::newRow("largest, under a half") << "32767.49" << 32767;
    QTest::newRow("smallest") << "-32768" << -32768;
    QTest::newRow("smallest, a half over") << "-32768.5" << -32768;
    QTest::newRow("hex largest") << "&H7FFF" << 32767;
    QTest::newRow("half over the largest") << "32767.5" << OutOfRange;
    QTest::newRow("one over the largest") << "32768" << OutOfRange;
    QTest::newRow("below the smallest") << "-32769" << OutOfRange;
    QTest::newRow("hex too large") << "&H8000" << OutOfRange;
    QTest::newRow("far out of range") << "1e400" << OutOfRange;
    QTest::newRow("long run of digits") << QString(5000, u'9') << OutOfRange;
    QTest::newRow("long hex") << "&H" + QString(5000, u'F') << OutOfRange;
    QTest::newRow("huge exponent digits") << "1e" + QString(400, u'9') << OutOfRange;
    QTest::newRow("huge negative exponent") << "5e-" + QString(400, u'9') << 0;
    // The exponent has to reach past the zeros, however many there are.
    const QString millionZeros(1'000'000, u'0');
    QTest::newRow("exponent past a million zeros") << "0." + millionZeros + "1e1000001" << 1;
    QTest::newRow("half to even past a million zeros") << "0." + millionZeros + "25e1000001" << 2;
    QTest::newRow("out of range past a million zeros")
        << "0." + millionZeros + "1e1000010" << OutOfRange;
    QTest::newRow("exponent of a million past a million zeros")
        << "0." + millionZeros + "6e1000000" << 1;
}

void TestPortNumber::reading()
{
    QFETCH(QString, text);
    QFETCH(int, number);

    if (number == -99999) {
        QVERIFY_THROWS_EXCEPTION(SerialError, Serial::readPortNumber(text));
        return;
    }
    QCOMPARE(int(Serial::readPortNumber(text)), number);
}

void TestPortNumber::devicePaths_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("path");

#ifdef Q_OS_WIN
    constexpr bool windows = true;
#else
    constexpr bool windows = false;
#endif
    QTest::newRow("device") << "/dev/ttyUSB0" << !windows;
    QTest::newRow("after blanks") << "  /dev/pts/3" << !windows;
    QTest::newRow("number") << "1" << false;
    QTest::newRow("relative") << "dev/ttyS0" << false;
    QTest::newRow("COM port") << "COM3" << windows;
    QTest::newRow("COM port, lower case, blanks") << " com12 " << windows;
    QTest::newRow("device namespace") << "\\\\.\\COM12" << windows;
    QTest::newRow("COM without a number") << "COM" << false;
    QTest::newRow("COM and more") << "COM1x" << false;
}

void TestPortNumber::devicePaths()
{
    QFETCH(QString, text);
    QFETCH(bool, path);
    QCOMPARE(Serial::namesDevicePath(text), path);
}

QTEST_GUILESS_MAIN(TestPortNumber)
#include "tst_portnumber.moc"
