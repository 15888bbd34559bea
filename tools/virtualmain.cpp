// rq204-virtual's command line.

#include "virtualrq204.h"

#include "stopsignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char **argv)
{
    // QtCore only: the pty stays plain POSIX, sharing nothing with the serial stack it checks.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(RQ204_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Pretends to be an RQ204 LCD on a pseudo-terminal and shows what an uploader sends."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOptions({
        {"silence-ms", "Silence after a CR that ends an upload (default 400).", "N", "400"},
        {"once", "Exit after one upload, last line: SUMMARY {json}."},
        {"timeout-s", "With --once: give up after N seconds, exit status 1.", "N"},
        {"path-file", "Write the port path to FILE when ready (removed on exit).", "FILE"},
    });

    // Usage errors exit 2; QCommandLineParser::process() would exit 1.
    const auto usageError = [&](const QString &problem) {
        std::fprintf(stderr, "rq204-virtual: %s\n%s", qPrintable(problem),
                     qPrintable(parser.helpText()));
        return 2;
    };
    const auto number = [&](const QString &option, int max, int *value) {
        bool ok = false;
        *value = parser.value(option).toInt(&ok);
        return ok && *value >= 1 && *value <= max;
    };

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help))
        parser.showHelp();
    if (parser.isSet(version))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unknown argument '%1'").arg(parser.positionalArguments().constFirst()));

    VirtualRq204::Options options;
    int value = 0;
    if (!number("silence-ms", 60000, &value))
        return usageError(
            QStringLiteral("--silence-ms needs a number of milliseconds, 1 to 60000"));
    options.silence = std::chrono::milliseconds(value);
    options.once = parser.isSet("once");
    if (parser.isSet("timeout-s")) {
        if (!number("timeout-s", 86400, &value))
            return usageError(QStringLiteral("--timeout-s needs a number of seconds, 1 to 86400"));
        if (!options.once)
            return usageError(QStringLiteral("--timeout-s only makes sense with --once"));
        options.timeout = std::chrono::seconds(value);
    }
    const QString pathFile = parser.value("path-file");
    if (parser.isSet("path-file") && pathFile.isEmpty())
        return usageError(QStringLiteral("--path-file needs a file name"));

    // Made before the pty, so that a stop asked for meanwhile waits for the event loop.
    StopSignals stops;
    VirtualRq204 device(options);
    QObject::connect(&stops, &StopSignals::received, &device, &VirtualRq204::stopOnSignal);
    if (!device.open())
        return 2;
    // Written once the pty listens, renamed into place so that a reader never sees half a path,
    // and removed at the end: a stale one would point scripts at a pts number the system may
    // hand to someone else.
    QSaveFile file(pathFile);
    if (!pathFile.isEmpty() &&
        (!file.open(QIODevice::WriteOnly) ||
         file.write(QFile::encodeName(device.path()) + '\n') < 0 || !file.commit())) {
        std::fprintf(stderr, "rq204-virtual: cannot write %s: %s\n", qPrintable(pathFile),
                     qPrintable(file.errorString()));
        return 2;
    }
    const int status = QCoreApplication::exec();
    if (!pathFile.isEmpty())
        QFile::remove(pathFile);
    return status;
}
