#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rq204-upload"));
    QApplication::setApplicationVersion(QStringLiteral(RQ204_VERSION));
    QApplication::setApplicationDisplayName(MainWindow::Caption);
    QGuiApplication::setDesktopFileName(QStringLiteral("rq204-upload"));
    MainWindow form1;
    form1.show();
    return app.exec();
}
