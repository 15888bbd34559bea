#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

// Runs `program` as from a bare terminal or over ssh (no display, no platform plugin) and checks
// that it answers with exit status 0, on standard output alone, in words matching `pattern`.
inline void verifyAnswersWithoutDisplay(const QString &program, const QStringList &arguments,
                                        const QString &pattern)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardError(), QByteArray());
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    QVERIFY2(QRegularExpression(pattern, QRegularExpression::DotMatchesEverythingOption)
                 .match(output)
                 .hasMatch(),
             qPrintable(output));
}
