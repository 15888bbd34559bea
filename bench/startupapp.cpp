// The program as it starts, for the start-up and idle benchmarks: main() is the real one, except
// that ports 1 and 2 are two pseudo-terminals opened here, so start-up probes and opens them the
// way it would real ports and no host port is ever touched. Not meant to be run by hand; see
// bench/startup.cpp and bench/idle.sh.
//   build-bench/bench/bench-startup-app
#include "mainwindow.h"

#include <QApplication>
#include <cstdio>
#include <pty.h>

int main(int argc, char *argv[])
{
    // Both ends stay open for the life of the process, as a connected device would.
    QStringList paths;
    for (int i = 0; i < 2; ++i) {
        int master = -1, slave = -1;
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            return 1;
        }
        paths.append(QString::fromLocal8Bit(name));
    }
    const SerialControl::PortResolver ptys = [paths](int number) -> std::optional<PortDevice> {
        if (number < 1 || number > paths.size())
            return std::nullopt;
        return PortDevice{paths.at(number - 1), QStringLiteral("pseudo-terminal")};
    };

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rq204-upload"));
    QApplication::setApplicationDisplayName(MainWindow::Caption);
    QGuiApplication::setDesktopFileName(QStringLiteral("rq204-upload"));
    MainWindow form1(ptys);
    form1.show();
    return app.exec();
}
