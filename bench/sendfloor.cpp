// The smallest QtCore program that writes a byte to a device one interval after it starts: the
// floor the first-byte benchmark holds rq204-send against. Not meant to be run by hand; see
// bench/sendstart.cpp.
//   build-bench/bench/bench-send-floor DEVICE
#include "messagetext.h"

#include <QCoreApplication>
#include <QTimer>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    const int fd = ::open(argv[1], O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    int status = 1;
    QTimer::singleShot(SendInterval, Qt::PreciseTimer, &app, [&] {
        status = ::write(fd, "A", 1) == 1 ? 0 : 1;
        app.quit();
    });
    app.exec();
    ::close(fd);
    return status;
}
