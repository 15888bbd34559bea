// Linked into every test program: a warning of Qt's own (a write to a closed socket, a connect
// to a signal that is not there) is the program's fault wherever it shows, and fails the test.
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTest>

namespace {

QtMessageHandler testLog = nullptr;

void failOnQtWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const QRegularExpression qts(
        QStringLiteral("^(QIODevice|QAbstractSocket|QObject|QSocketNotifier)\\b"));
    if (type != QtDebugMsg && type != QtInfoMsg && qts.match(message).hasMatch())
        QTest::qFail(qPrintable(QStringLiteral("Qt warned: ") + message), __FILE__, __LINE__);
    testLog(type, context, message);
}

void installFailOnQtWarnings()
{
    // Qt Test puts in a message handler of its own once the tests start; this one goes in front
    // of it as soon as the event loop first runs, and hands every message on to it.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { testLog = qInstallMessageHandler(failOnQtWarnings); },
        Qt::QueuedConnection);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installFailOnQtWarnings)
