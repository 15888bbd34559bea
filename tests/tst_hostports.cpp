#include "hostports.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Which device each port number names, from lists of ttys as hosts report them.
class TestHostPorts : public QObject
{
    Q_OBJECT

private slots:
    void numbering_data();
    void numbering();
    void lookup_data();
    void lookup();
    void deviceTree_data();
    void deviceTree();
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
    for (const HostTty &tty : Serial::numberHostPorts(host, consoles))
        names.append(tty.name);
    QCOMPARE(names, numbered);
}

void TestHostPorts::lookup_data()
{
    QTest::addColumn<QStringList>("host"); // port 1, port 2, ...; "" is a port without a device
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("device"); // empty: no such port

    const QStringList laptop{"/dev/ttyUSB0"};
    const QStringList desktop{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"};
    QTest::newRow("0") << desktop << 0 << "";
    QTest::newRow("negative") << desktop << -1 << "";
    QTest::newRow("first") << desktop << 1 << "/dev/ttyS0";
    QTest::newRow("last") << desktop << 3 << "/dev/ttyUSB0";
    QTest::newRow("one past the last") << desktop << 4 << "";
    QTest::newRow("laptop's only adapter") << laptop << 1 << "/dev/ttyUSB0";
    QTest::newRow("laptop, port 2") << laptop << 2 << "";
    QTest::newRow("no ports") << QStringList{} << 1 << "";
    QTest::newRow("largest number") << desktop << 32767 << "";
    QTest::newRow("port without a device") << QStringList{"", "/dev/ttyS1"} << 1 << "";
    QTest::newRow("port after one without a device")
        << QStringList{"", "/dev/ttyS1"} << 2 << "/dev/ttyS1";
    // Windows lists its COM ports in any order, under their own names: port N is COMN.
    const QStringList registry{"COM3", "com12", "COM1", "LPT1", "COM0", "COM257", "COM2x"};
    QTest::newRow("Windows, COM1") << registry << 1 << "COM1";
    QTest::newRow("Windows, no COM2") << registry << 2 << "";
    QTest::newRow("Windows, COM3") << registry << 3 << "COM3";
    QTest::newRow("Windows, lower case") << registry << 12 << "COM12";
    QTest::newRow("Windows, past the highest listed") << registry << 13 << "";
    QTest::newRow("Windows, highest name") << QStringList{"COM256"} << 256 << "COM256";
    // "|" and what the system calls the device; Device Manager's name ends in the port's own.
    QTest::newRow("Windows, blanks around the name") << QStringList{" COM4 "} << 4 << "COM4";
    QTest::newRow("Windows, Device Manager's name")
        << QStringList{"COM4|USB-SERIAL CH340 (COM4)"} << 4 << "COM4|USB-SERIAL CH340";
    QTest::newRow("Windows, a name that ends in another port's")
        << QStringList{"COM5|Adapter (COM4)"} << 5 << "COM5|Adapter (COM4)";
}

void TestHostPorts::lookup()
{
    QFETCH(QStringList, host);
    QFETCH(int, number);
    QFETCH(QString, device);

    HostPorts ports;
    for (const QString &path : host)
        ports.append({path.section(u'|', 0, 0), path.section(u'|', 1)});
    if (QString(QTest::currentDataTag()).startsWith(u"Windows"))
        ports = Serial::numberComPorts(ports);
    const std::optional<PortDevice> found = Serial::portAt(ports, number);
    QCOMPARE(found.has_value(), !device.isEmpty());
    if (found && device.contains(u'|'))
        QCOMPARE(found->path + u'|' + found->description, device);
    else if (found)
        QCOMPARE(found->path, device);
}

void TestHostPorts::deviceTree_data()
{
    QTest::addColumn<QString>("consoles");  // /sys/class/tty/console/active; none: no such file
    QTest::addColumn<QStringList>("ports"); // "path description"

    const QString adapter = QStringLiteral("/dev/ttyUSB0 FT232R USB UART");
    QTest::newRow("serial console among several") << "tty0 ttyS0\n"
                                                  << QStringList{"/dev/ttyS2 ", adapter};
    QTest::newRow("screen console only") << "tty0\n"
                                         << QStringList{"/dev/ttyS0 ", "/dev/ttyS2 ", adapter};
    QTest::newRow("no console file")
        << QString() << QStringList{"/dev/ttyS0 ", "/dev/ttyS2 ", adapter};
}

void TestHostPorts::deviceTree()
{
    QFETCH(QString, consoles);
    QFETCH(QStringList, ports);

    // A PC's tree: two UARTs and an empty UART slot, a USB adapter, a virtual terminal.
    QTemporaryDir sysfs;
    QVERIFY(sysfs.isValid());
    const QDir root(sysfs.path());
    const auto write = [&](const QString &file, const QByteArray &text) {
        QVERIFY(root.mkpath(QFileInfo(root.filePath(file)).path()));
        QFile out(root.filePath(file));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(text);
    };
    const auto tty = [&](const QString &name, const QString &parent, const QByteArray &type) {
        const QString folder = parent + QStringLiteral("/tty/") + name;
        QVERIFY(root.mkpath(folder));
        if (!type.isEmpty())
            write(folder + QStringLiteral("/type"), type + '\n');
        if (parent != u"devices/virtual")
            QVERIFY(QFile::link(root.filePath(parent), root.filePath(folder + "/device")));
        QVERIFY(root.mkpath(QStringLiteral("class/tty")));
        QVERIFY(QFile::link(root.filePath(folder), root.filePath("class/tty/" + name)));
    };
    tty(QStringLiteral("ttyS0"), QStringLiteral("devices/pnp0/00:01"), "4");
    tty(QStringLiteral("ttyS1"), QStringLiteral("devices/platform/serial8250"), "0");
    tty(QStringLiteral("ttyS2"), QStringLiteral("devices/pnp0/00:02"), "4");
    tty(QStringLiteral("ttyUSB0"), QStringLiteral("devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0"), {});
    write(QStringLiteral("devices/pci0/usb1/1-1/product"), "FT232R USB UART\n");
    tty(QStringLiteral("tty0"), QStringLiteral("devices/virtual"), {});
    tty(QStringLiteral("console"), QStringLiteral("devices/virtual"), {});
    if (!consoles.isNull())
        write(QStringLiteral("devices/virtual/tty/console/active"), consoles.toUtf8());

    QStringList found;
    for (const PortDevice &port : Serial::readHostPortsFrom(sysfs.path()))
        found.append(port.path + u' ' + port.description);
    QCOMPARE(found, ports);
}

QTEST_GUILESS_MAIN(TestHostPorts)
#include "tst_hostports.moc"
