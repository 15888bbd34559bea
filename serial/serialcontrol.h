#pragma once

#include "hostports.h"

#include <QObject>
#include <QSerialPort>
#include <memory>

class QSocketNotifier;

// The program's one serial control, `comm`: a write-only port that is pointed at a port number
// (or a device path), given its line settings and opened. Every access that fails throws
// SerialError with a text for the user; the caller decides what the user sees.
class SerialControl : public QObject
{
    Q_OBJECT

public:
    // How the line is handshaken; the device listens on one data pin, so it runs with None.
    enum class Handshaking { None, XonXoff, RtsCts, RtsCtsXonXoff };

    explicit SerialControl(PortLister listPorts = Serial::readHostPorts, QObject *parent = nullptr);
    ~SerialControl() override;

    // Where port numbers are looked up; each open reads them afresh unless the caller hands in
    // a reading of its own, as start-up does for its probe.
    void setPortLister(PortLister listPorts) { m_listPorts = std::move(listPorts); }

    qint16 commPort() const { return m_commPort; }
    void setCommPort(qint16 number);
    // Names the device itself instead of a port number, for ptys and /dev/serial/by-id links.
    void setDevicePath(const QString &path);

    bool portOpen() const { return m_port.isOpen(); }
    void setPortOpen(bool open);

    // "baud,parity,data,stop", e.g. "2400,N,8,1".
    QString settings() const { return m_settings; }
    void setSettings(const QString &settings);

    Handshaking handshaking() const { return m_handshaking; }
    void setHandshaking(Handshaking handshaking);
    int inBufferSize() const { return m_inBufferSize; }
    void setInBufferSize(int bytes);

    // Transmits a one-character string as one byte (Windows-1252; "?" where it has no byte).
    void setOutput(const QString &character);

    // "port 1 (/dev/ttyUSB0)", "port 3", or the device path that was named.
    QString portLabel() const;
    // The device the port number stood for at the last open; empty for a named device path.
    const PortDevice &device() const { return m_device; }

    static char toWindows1252(QChar character);

signals:
    // The open port went away between two writes (an adapter unplugged); it has been closed.
    void portLost(const QString &reason);

private:
    void handleError(QSerialPort::SerialPortError error);
    void watchForHangUp();
    void checkHangUp();
    void closePort();
    QString openFailureReason(const QString &path) const;

    PortLister m_listPorts;
    QSerialPort m_port;
    std::unique_ptr<QSocketNotifier> m_hangUp; // lives while the port is open
    QString m_lostReason;                      // why the open port closed itself
    qint16 m_commPort = 1;
    QString m_devicePath;
    PortDevice m_device; // what the port number stood for at the last open
    QString m_settings = QStringLiteral("9600,N,8,1");
    Handshaking m_handshaking = Handshaking::None;
    int m_inBufferSize = 1024;
};
