#include "sendcommand.h"
#include "stopsignals.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("rq204-send"));
        QCoreApplication::setApplicationVersion(QStringLiteral(RQ204_VERSION));
        status = runSend(QCoreApplication::arguments());
    }
    // Stopped by a signal, and stopped in order: now it dies of that signal, so that a shell
    // loop around it stops on one Ctrl-C as well.
    if (status > 128)
        endBySignal(status - 128);
    return status;
}
