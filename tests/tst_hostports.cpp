#include "hostports.h"

#include <QTest>

// Which device each port number names, from lists of ttys as hosts report them.
class TestHostPorts : public QObject
{
    Q_OBJECT

private slots:
    void numbering_data();
    void numbering();
};

void TestHostPorts::numbering_data()
{
    QTest::addColumn<QStringList>("ttys"); // "!" marks a ghost UART
    QTest::addColumn<QStringList>("consoles");
    QTest::addColumn<QStringList>("numbered"); // port 1, port 2, ...

    QTest::newRow("laptop with one adapter")
        << QStringList{"ttyUSB0"} << QStringList{} << QStringList{"ttyUSB0"};
    QTest::newRow("PC with two UARTs and an adapter")
        << QStringList{"ttyUSB0", "ttyS1", "ttyS0"} << QStringList{}
        << QStringList{"ttyS0", "ttyS1", "ttyUSB0"};
    QTest::newRow("ghost UARTs are not numbered")
        << QStringList{"!ttyS2", "!ttyS3", "ttyS0", "ttyUSB0"} << QStringList{}
        << QStringList{"ttyS0", "ttyUSB0"};
    QTest::newRow("laptop whose UARTs are all ghosts")
        << QStringList{"!ttyS0", "!ttyS1", "!ttyS2", "!ttyS3", "ttyUSB0"} << QStringList{}
        << QStringList{"ttyUSB0"};
    QTest::newRow("console port is left out")
        << QStringList{"ttyS0", "ttyS1"} << QStringList{"tty0", "ttyS0"} << QStringList{"ttyS1"};
    QTest::newRow("natural order") << QStringList{"ttyUSB10", "ttyUSB2", "ttyUSB1"} << QStringList{}
                                   << QStringList{"ttyUSB1", "ttyUSB2", "ttyUSB10"};
    QTest::newRow("built-in, then USB, then the rest")
        << QStringList{"rfcomm0", "ttyACM0", "ttyAMA0", "ttyUSB0", "ttyS0", "ttyXRUSB0"}
        << QStringList{}
        << QStringList{"ttyAMA0", "ttyS0", "ttyACM0", "ttyUSB0", "rfcomm0", "ttyXRUSB0"};
    QTest::newRow("no ports") << QStringList{} << QStringList{} << QStringList{};
}

void TestHostPorts::numbering()
{
    QFETCH(QStringList, ttys);
    QFETCH(QStringList, consoles);
    QFETCH(QStringList, numbered);

    QList<HostTty> host;
    for (const QString &tty : ttys) {
        const bool ghost = tty.startsWith(u'!');
        host.append(HostTty{ghost ? tty.mid(1) : tty, QString(), ghost});
    }
    QStringList names;
    for (const HostTty &tty : numberHostPorts(host, consoles))
        names.append(tty.name);
    QCOMPARE(names, numbered);
}

QTEST_GUILESS_MAIN(TestHostPorts)
#include "tst_hostports.moc"
