#include "displays.h"

#include "messagetext.h"
#include "portnumber.h"
#include "portselection.h"
#include "remoteport.h"
#include "serialerror.h"
#include "stopsignals.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>

Displays openDisplays(const QStringList &ports, const PortLister &listPorts, int total)
{
    // The host's ports are read only where a port is named by its number (or not at all).
    const bool byNumber =
        ports.isEmpty() || std::any_of(ports.begin(), ports.end(), [](const QString &port) {
            return !Serial::namesDevicePath(port) && !RemotePort::names(port);
        });
    const HostPorts host = byNumber ? listPorts() : HostPorts{};
    Displays displays;
    for (const QString &name : ports.isEmpty() ? QStringList{QString()} : ports) {
        auto &display = displays.emplace_back(std::make_unique<Display>());
        display->name = name;
        try {
            if (!name.isEmpty()) {
                Serial::selectPort(display->comm, name, host);
            } else if (const Serial::ProbeResult opened =
                           Serial::openDefaultPort(display->comm, host);
                       opened.ports.isEmpty()) {
                // A script is not guessed for: a port above 2 (a PC's USB adapter) is named.
                const bool others = std::any_of(host.begin(), host.end(), [](const auto &port) {
                    return !port.path.isEmpty();
                });
                throw SerialError(!opened.failure.isEmpty() ? opened.failure
                                  : others ? QStringLiteral("this computer has no port 1 or 2; "
                                                            "name its port with --port "
                                                            "(--list-ports lists them)")
                                           : QStringLiteral("no serial port was found; name one "
                                                            "with --port"));
            }
        } catch (const SerialError &error) {
            display->failure = uploadFailureText(0, total, error.message());
        }
    }
    return displays;
}

int upload(const Displays &displays, const QString &message, StopSignals &stopSignals,
           const std::function<void()> &progressed)
{
    const int total = static_cast<int>(message.size()) + 1;
    QEventLoop loop;
    int running = 0;
    const auto finish = [&] {
        if (--running == 0)
            loop.quit();
    };
    for (const auto &owned : displays) {
        Display &display = *owned;
        if (!display.failure.isEmpty())
            continue;
        ++running;
        QObject::connect(&display.sender, &PacedSender::progressed, &loop, [&](int sent) {
            display.sent = sent;
            progressed();
            // The port stays open for the last byte's interval too: a close at once could cut it
            // off in the adapter, and the device needs that interval before the message shows.
            if (sent == total)
                QTimer::singleShot(SendInterval, &loop, finish);
        });
        QObject::connect(&display.sender, &PacedSender::failed, &loop, [&](const QString &reason) {
            display.failure = uploadFailureText(display.sent, total, reason);
            finish();
        });
        display.sender.startUpload(message);
    }
    int stoppedBy = 0;
    QObject::connect(&stopSignals, &StopSignals::received, &loop, [&](int signal) {
        // A display that has the whole message keeps it; the signal only ends the wait there.
        for (const auto &display : displays) {
            if (display->sender.isSending())
                display->failure =
                    uploadFailureText(display->sent, total, QStringLiteral("interrupted"));
            display->sender.stop();
        }
        stoppedBy = signal;
        loop.quit();
    });
    if (running > 0)
        loop.exec();
    for (const auto &display : displays)
        display->comm.setPortOpen(false);
    return stoppedBy;
}
