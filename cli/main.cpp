#include "sendcommand.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rq204-send"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RQ204_VERSION));
    return runSend(QCoreApplication::arguments());
}
