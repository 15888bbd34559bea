#pragma once

#include "hostports.h"

#include <QObject>
#include <QSerialPort>
#include <functional>

// The program's one serial control, `comm`: a write-only port that is pointed at a port number
// (or, on Unix, a device path), given its line settings and opened. Every access that fails
// throws SerialError with a text for the user, so the caller decides what the user sees.
class SerialControl : public QObject
{
    Q_OBJECT

public:
    using PortResolver = std::function<std::optional<PortDevice>(int number)>;

    // How the line is handshaken; the device listens on one data pin, so it runs with None.
    enum class Handshaking { None, XonXoff, RtsCts, RtsCtsXonXoff };

    explicit SerialControl(PortResolver resolver = hostPortDevice, QObject *parent = nullptr);

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

    // Why no port is open, in the words a failed Output uses; empty while a port is open.
    QString notOpenReason() const { return m_notOpenReason; }
    void setNotOpenReason(const QString &reason) { m_notOpenReason = reason; }

    // "port 1 (/dev/ttyUSB0)", "port 3", or the device path that was named.
    QString portLabel() const;
    // The device the port number stood for at the last open; empty for a named device path.
    const PortDevice &device() const { return m_device; }

    static char toWindows1252(QChar character);

signals:
    // The open port failed outside a write (the device went away); it has been closed.
    void portLost(const QString &reason);

private:
    void handleError(QSerialPort::SerialPortError error);
    [[noreturn]] void fail(const QString &reason);
    QString openFailureReason(const QString &path) const;

    PortResolver m_resolver;
    QSerialPort m_port;
    qint16 m_commPort = 1;
    QString m_devicePath;
    PortDevice m_device; // what the port number stood for at the last open
    QString m_settings = QStringLiteral("9600,N,8,1");
    Handshaking m_handshaking = Handshaking::None;
    int m_inBufferSize = 1024;
    QString m_notOpenReason;
    bool m_writing = false;
};
