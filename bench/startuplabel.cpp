// The smallest Qt Widgets program that shows a window: the reference the start-up benchmark
// holds the real program against, built with the same CMake and flags. Not meant to be run by
// hand; see bench/startup.cpp.
//   build-bench/bench/bench-startup-label
#include <QApplication>
#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("RQ204"));
    label.show();
    return app.exec();
}
