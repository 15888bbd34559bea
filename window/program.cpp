#include "program.h"

#include "mainwindow.h"
#include "portselection.h"
#include "stopsignals.h"

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <optional>

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("rq204-upload"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RQ204_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("rq204-upload"));
}

int runProgram(int argc, char *argv[], PortLister listPorts)
{
    setApplicationIdentity();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Sends a message of up to 124 characters to an RQ204 LCD over a serial "
                       "port."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption portOption(
        "port", "Start with PORT in the port box: a port number or a device path.", "PORT");
    parser.addOption(portOption);

    // Help and version need no display, so they are answered before the window system is
    // reached; Qt's own options (-platform, -style …) are known only once it has been.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    parser.parse(arguments);
    if (parser.isSet(helpOption) || parser.isSet(versionOption) || parser.isSet("help-all")) {
        const QCoreApplication textOnly(argc, argv);
        parser.process(textOnly.arguments()); // prints and exits
    }

    QApplication app(argc, argv);
    QString problem;
    if (!parser.parse(QCoreApplication::arguments()))
        problem = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        problem = QStringLiteral("unexpected argument '%1'")
                      .arg(parser.positionalArguments().constFirst());
    else if (parser.isSet(portOption))
        problem = Serial::portArgumentProblem(parser.value(portOption));
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "rq204-upload: %s\nTry 'rq204-upload --help'.\n", qPrintable(problem));
        return 2;
    }
    const auto port =
        parser.isSet(portOption) ? std::optional(parser.value(portOption)) : std::nullopt;

    // From before the first port is held: a stop signal while the window is being made closes it
    // as soon as the event loop runs.
    StopSignals stopSignals;
    MainWindow form1(std::move(listPorts), port);
    QObject::connect(&stopSignals, &StopSignals::received, &form1, &QWidget::close);
    form1.show();
    return app.exec();
}
