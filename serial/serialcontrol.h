#pragma once

#include "device.h"
#include "hostports.h"

#include <QObject>
#include <memory>

// The program's one serial control, `comm`: pointed at a port, given its line settings and
// opened, it hands bytes to one device, a port of this host or one on the network. An open that
// fails throws SerialError; a port on the network opens in the background, and one that fails
// to, like a device lost later, closes the port and says why in `portLost`, once.
class SerialControl : public QObject
{
    Q_OBJECT

public:
    explicit SerialControl(QObject *parent = nullptr);
    ~SerialControl() override;

    // CommPort: port `number`, which the port selection found to be `device` on this host (no
    // path where the host has no such port).
    qint16 commPort() const { return m_commPort; }
    void setCommPort(qint16 number, const PortDevice &device = {});
    // Points the control at a device named by its path, or at a port on the network
    // ("rfc2217://HOST:PORT", "socket://HOST:PORT"), instead of a number.
    void setDevicePath(const QString &path);

    // Open and ready for bytes; a port on the network is first `portOpening()`.
    bool portOpen() const { return m_device && m_device->isReady(); }
    bool portOpening() const { return m_device && !m_device->isReady(); }
    void setPortOpen(bool open);

    // "baud,parity,data,stop", e.g. "2400,N,8,1"; applied at the next open.
    QString settings() const { return m_settings; }
    void setSettings(const QString &settings);

    // Output: hands one byte to the open port.
    void setOutput(char byte);

    // "port 1 (/dev/ttyUSB0)", "port 3", or the device path that was named.
    QString portLabel() const;

signals:
    // A port that was opening is open.
    void portOpened();
    // The port went away (unplugged, a write failed, the server closed the connection) or could
    // not be reached; it has been closed.
    void portLost(const QString &reason);

private:
    void mustBeClosed() const;

    std::unique_ptr<Device> m_device;
    qint16 m_commPort = 1;
    PortDevice m_target; // the device the next open reaches
    bool m_namedByPath = false;
    QString m_settings = QStringLiteral("9600,N,8,1");
    LineSettings m_line;
};
