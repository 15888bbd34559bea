// The serial device on Windows, through Qt Serial Port. A COM port opens for one program at a
// time by nature, so there is nothing to look for beforehand, and Qt reports a removed adapter
// through its error signal.

#include "localport.h"

#include <QSerialPort>

struct LocalPort::Private
{
    QString label;
    QSerialPort port;
};

namespace {

QSerialPort::Parity parityOf(char parity)
{
    switch (parity) {
    case 'E':
        return QSerialPort::EvenParity;
    case 'O':
        return QSerialPort::OddParity;
    case 'M':
        return QSerialPort::MarkParity;
    case 'S':
        return QSerialPort::SpaceParity;
    default:
        return QSerialPort::NoParity;
    }
}

QSerialPort::StopBits stopBitsOf(LineSettings::StopBits stopBits)
{
    switch (stopBits) {
    case LineSettings::StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case LineSettings::StopBits::Two:
        return QSerialPort::TwoStop;
    default:
        return QSerialPort::OneStop;
    }
}

QString openFailureText(QSerialPort::SerialPortError error, const QString &system)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("no such device");
    case QSerialPort::PermissionError:
        return QStringLiteral("it is in use by another program");
    default:
        return QStringLiteral("the system reports \"%1\"").arg(system);
    }
}

} // namespace

std::unique_ptr<LocalPort> LocalPort::open(const QString &path, const QString &label,
                                           const LineSettings &line, QString &problem)
{
    auto d = std::make_unique<Private>();
    d->label = label;
    d->port.setPortName(path);
    d->port.setBaudRate(line.baud);
    d->port.setParity(parityOf(line.parity));
    d->port.setDataBits(static_cast<QSerialPort::DataBits>(line.dataBits));
    d->port.setStopBits(stopBitsOf(line.stopBits));
    d->port.setFlowControl(QSerialPort::NoFlowControl);
    if (!d->port.open(QIODevice::WriteOnly)) {
        problem = openFailureText(d->port.error(), d->port.errorString());
        return nullptr;
    }
    return std::unique_ptr<LocalPort>(new LocalPort(std::move(d)));
}

LocalPort::LocalPort(std::unique_ptr<Private> data) : d(std::move(data))
{
    connect(&d->port, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) {
                // Qt repeats a resource error for as long as the port stays open, so the first
                // one closes it.
                if (d->port.isOpen() &&
                    (error == QSerialPort::ResourceError || error == QSerialPort::WriteError))
                    lose(error == QSerialPort::ResourceError
                             ? QStringLiteral("was disconnected")
                             : QStringLiteral("stopped working (%1)").arg(d->port.errorString()));
            });
}

LocalPort::~LocalPort() = default;

void LocalPort::write(char byte)
{
    // A failure shows up inside write() or flush() as an error signal, which loses the port.
    if (d->port.write(&byte, 1) == 1 && d->port.isOpen())
        d->port.flush();
}

void LocalPort::lose(const QString &what)
{
    const QString reason = QStringLiteral("%1 %2").arg(d->label, what);
    d->port.close();
    emit lost(reason);
}

DeviceCheck checkDevice(const QString &path)
{
    DeviceCheck check;
    check.canonicalPath = path;
    return check;
}

QString openErrorText(int error, const QString &closedFolder)
{
    Q_UNUSED(closedFolder);
    return QStringLiteral("the system reports \"%1\"").arg(qt_error_string(error));
}
