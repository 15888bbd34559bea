#include "sendsupport.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

QString startDevice(QProcess &device, const QString &pathFile)
{
    QFile::remove(pathFile);
    device.start(QStringLiteral(RQ204_VIRTUAL_PATH),
                 {"--once", "--silence-ms", "150", "--timeout-s", "30", "--path-file", pathFile});
    for (int waited = 0; !QFile::exists(pathFile) && waited < 5000; waited += 20)
        QTest::qWait(20);
    QFile file(pathFile);
    const QString path = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QString();
    // Whatever the device prints, a test only ever sends to a pseudo-terminal.
    return path.startsWith(QLatin1String("/dev/pts/")) ? path : QString();
}

bool startWindowManager(QProcess &windowManager)
{
    windowManager.start(QStringLiteral("metacity"),
                        {QStringLiteral("--no-composite"), QStringLiteral("--sm-disable")});
    if (!windowManager.waitForStarted())
        return false;
    for (int waited = 0; waited < 10000; waited += 50) {
        QProcess xprop;
        xprop.start(QStringLiteral("xprop"),
                    {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")});
        if (xprop.waitForFinished(5000) && xprop.readAllStandardOutput().contains("window id"))
            return true;
        QTest::qWait(50);
    }
    return false;
}

QJsonObject summaryOf(const QByteArray &output)
{
    const QByteArrayList lines = output.trimmed().split('\n');
    if (!lines.last().startsWith("SUMMARY "))
        return {};
    return QJsonDocument::fromJson(lines.last().mid(int(qstrlen("SUMMARY ")))).object();
}

QString writtenTo(FILE *stream)
{
    QFile file;
    if (!file.open(stream, QIODevice::ReadOnly) || !file.seek(0))
        return QStringLiteral("(unreadable)");
    return QString::fromUtf8(file.readAll());
}
