#include "sendcommand.h"

#include "localport.h"
#include "messagetext.h"
#include "pacedsender.h"
#include "portnumber.h"
#include "portselection.h"
#include "stopsignals.h"
#include "remoteport.h"
#include "serialcontrol.h"
#include "serialerror.h"
#include "windows1252.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QFile>
#include <QStringDecoder>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace {

enum Status { Sent = 0, Failed = 1, Usage = 2 };

// Far more than any message: a script that pipes the wrong file in is told so at once, and
// /dev/zero can't make the command read without end.
constexpr qint64 InputLimit = 64 * 1024;

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

int usageError(FILE *err, const QString &problem)
{
    print(err, QStringLiteral("rq204-send: %1\nTry 'rq204-send --help'.\n").arg(problem));
    return Usage;
}

// Text from a USB device's descriptors or a process name, made safe to print: a control
// character would act on the user's terminal.
QString printable(QString text)
{
    for (QChar &c : text) {
        if (!c.isPrint() && !c.isSurrogate())
            c = u'?';
    }
    return text;
}

QString seconds(qsizetype bytes)
{
    return QString::number(double(bytes * SendInterval.count()) / 1000.0, 'f', 1);
}

struct Input
{
    QByteArray bytes; // at most InputLimit + 1, to tell a longer input
    QString problem;
};

// The message's bytes from a file or from standard input (`stream`), read the same way.
Input readInput(const QString &source, const QString &path, FILE *stream)
{
    Input input;
    QFile file(path);
    const bool opened =
        stream ? file.open(stream, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);
    // A pipe hands its bytes over in pieces.
    while (opened && input.bytes.size() <= InputLimit) {
        const QByteArray piece = file.read(InputLimit + 1 - input.bytes.size());
        if (piece.isEmpty())
            break;
        input.bytes += piece;
    }
    if (!opened || file.error() != QFileDevice::NoError)
        input.problem = QStringLiteral("cannot read %1: %2").arg(source, file.errorString());
    return input;
}

// The message as it stands in a file or on standard input: UTF-8, one trailing line break
// (from echo or an editor) not part of it.
std::optional<QString> decodeInput(const QByteArray &bytes, bool clipped, const QString &source,
                                   FILE *err)
{
    // Stateless, an unfinished character at the end is an error; the end of a clipped input
    // may cut one, and what is read there never reaches the message.
    QStringDecoder decoder(QStringDecoder::Utf8, clipped ? QStringConverter::Flag::Default
                                                         : QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        // Guessing the code page would put wrong characters on the display without a word.
        print(err,
              QStringLiteral("rq204-send: %1 is not UTF-8 text; save it as UTF-8\n").arg(source));
        return std::nullopt;
    }
    if (clipped)
        return text;
    if (text.endsWith(u"\r\n"))
        text.chop(2);
    else if (text.endsWith(u'\n') || text.endsWith(u'\r'))
        text.chop(1);
    if (text.isEmpty()) {
        // A script whose message command failed would blank the display.
        print(err,
              QStringLiteral("rq204-send: %1 holds no message; nothing was sent\n").arg(source));
        return std::nullopt;
    }
    return text;
}

// Names the first control character other than a line break: the RQ204 shows text, and a NUL
// or an escape from a wrong file would land in its memory unseen.
QString controlCharacterProblem(const QString &text)
{
    static const char names[] = "NUL SOH STX ETX EOT ENQ ACK BEL BS  TAB LF  VT  FF  CR  SO  SI  "
                                "DLE DC1 DC2 DC3 DC4 NAK SYN ETB CAN EM  SUB ESC FS  GS  RS  US  ";
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const bool lineBreak = c == u'\r' || c == u'\n';
        if (lineBreak || (c >= 0x20 && c < 0x7f) || c >= 0xa0)
            continue;
        const QString code = QStringLiteral("U+%1").arg(uint(c), 4, 16, QLatin1Char('0')).toUpper();
        const QString name = c < 0x20    ? QString::fromLatin1(names + 4 * c, 4).trimmed()
                             : c == 0x7f ? QStringLiteral("DEL")
                                         : QString();
        return QStringLiteral("the message holds a control character, %1, at character %2; only "
                              "text and line breaks can be sent")
            .arg(name.isEmpty() ? code : QStringLiteral("%1 (%2)").arg(name, code))
            .arg(i + 1);
    }
    return {};
}

// Names, once each, the characters that go out as "?" because the RQ204's code page lacks
// them.
void warnUnsendable(const QString &message, FILE *err)
{
    QList<char32_t> named;
    for (qsizetype i = 0; i < message.size(); ++i) {
        const QChar c = message.at(i);
        const bool pair =
            c.isHighSurrogate() && i + 1 < message.size() && message.at(i + 1).isLowSurrogate();
        const char32_t code = pair ? QChar::surrogateToUcs4(c, message.at(i + 1)) : c.unicode();
        const qsizetype units = pair ? 2 : 1;
        i += units - 1;
        if (c == u'?' || windows1252Byte(c.unicode()) != '?' || named.contains(code))
            continue;
        named.append(code);
        const QString glyph = QString::fromUcs4(&code, 1);
        const QString shown =
            QChar::isPrint(code) ? QStringLiteral("\"%1\" ").arg(glyph) : QString();
        print(err,
              QStringLiteral("rq204-send: warning: %1(U+%2) is not in the RQ204's code page "
                             "(Windows-1252); it goes out as \"%3\"\n")
                  .arg(shown, QString::number(uint(code), 16).toUpper().rightJustified(4, u'0'),
                       QString(units, u'?')));
    }
}

QString readable(unsigned char byte, bool last)
{
    if (last && byte == static_cast<unsigned char>(EndCode))
        return QStringLiteral("[end]");
    if (byte == static_cast<unsigned char>(PauseCode))
        return QStringLiteral("[pause]");
    if (byte == '\r')
        return QStringLiteral("[CR]");
    if (byte == '\n')
        return QStringLiteral("[LF]");
    const char32_t code = windows1252CodePoint(byte);
    if (code != 0 && QChar::isPrint(code))
        return QString::fromUcs4(&code, 1);
    return QStringLiteral("<%1>").arg(uint(byte), 2, 16, QLatin1Char('0')).toUpper();
}

void printDryRun(const QString &message, FILE *out)
{
    constexpr qsizetype PerLine = 16;
    const QByteArray bytes = uploadStream(message);
    QString text;
    for (qsizetype start = 0; start < bytes.size(); start += PerLine) {
        const QByteArray line = bytes.mid(start, PerLine);
        text += QString::fromLatin1(line.toHex(' ').toUpper()).leftJustified(PerLine * 3 - 1);
        text += QStringLiteral("  ");
        for (qsizetype i = 0; i < line.size(); ++i)
            text += readable(static_cast<unsigned char>(line.at(i)), start + i == bytes.size() - 1);
        text += u'\n';
    }
    text += QStringLiteral("%1 %2; the upload takes %3 s\n")
                .arg(bytes.size())
                .arg(QLatin1String(bytes.size() == 1 ? "byte" : "bytes"), seconds(bytes.size()));
    print(out, text);
}

int printPortList(const HostPorts &ports, FILE *out, FILE *err)
{
    QList<QStringList> rows;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const PortDevice &port = ports.at(i);
        if (port.path.isEmpty())
            continue;
        // Asked without opening the device for writing, so nothing is sent and no holder is
        // disturbed.
        const DeviceCheck check = checkDevice(port.path);
        QString state = QStringLiteral("can be opened");
        if (check.holderPid > 0 && !check.holderName.isEmpty())
            state =
                QStringLiteral("in use by PID %1 (%2)").arg(check.holderPid).arg(check.holderName);
        else if (check.holderPid > 0)
            state = QStringLiteral("in use by PID %1").arg(check.holderPid);
        else if (!check.problem.isEmpty())
            state = QStringLiteral("cannot be opened: %1").arg(check.problem);
        rows.append({QString::number(i + 1), printable(port.path),
                     port.description.isEmpty() ? QStringLiteral("-") : printable(port.description),
                     printable(state)});
    }
    if (rows.isEmpty()) {
        print(err, QStringLiteral("rq204-send: no serial port was found\n"));
        return Sent;
    }
    QList<qsizetype> widths(3, 0);
    for (const QStringList &row : rows) {
        for (int column = 0; column < 3; ++column)
            widths[column] = std::max(widths[column], row.at(column).size());
    }
    QString text;
    for (const QStringList &row : rows) {
        text += row.at(0).rightJustified(widths[0]) + QStringLiteral("  ") +
                row.at(1).leftJustified(widths[1]) + QStringLiteral("  ") +
                row.at(2).leftJustified(widths[2]) + QStringLiteral("  ") + row.at(3) + u'\n';
    }
    print(out, text);
    return Sent;
}

// Opens the port named on the command line, or else the first of the window's default ports
// that opens. Throws SerialError with the window's words.
void openPort(SerialControl &comm, const std::optional<QString> &port, const HostPorts &ports)
{
    if (port) {
        Serial::selectPort(comm, *port, ports);
        return;
    }
    comm.setSettings(Serial::DeviceLine);
    const Serial::ProbeResult probed = Serial::probePorts(comm, ports, true);
    if (probed.ports.isEmpty())
        throw SerialError(!probed.failure.isEmpty()
                              ? probed.failure
                              : QStringLiteral("no serial port was found; name one with --port"));
}

void drawProgress(FILE *err, int sent, int total)
{
    constexpr int Width = 30;
    const int done = total > 0 ? sent * Width / total : Width;
    print(err, QStringLiteral("\r[%1%2] %3/%4 characters, %5 s left")
                   .arg(QString(done, u'#'), QString(Width - done, u'.'))
                   .arg(sent)
                   .arg(total)
                   .arg(seconds(total - sent)));
}

// One display of an upload: its own port, its own pace, its own outcome.
struct Display
{
    QString name; // as --port named it
    SerialControl comm;
    PacedSender sender{comm};
    int sent = 0;
    QString failure; // what became of it, when that was not the whole message
    bool done = false;
};

// Sends `message` to every port at once (the default port when none is named), and says what
// became of each.
int send(const QString &message, const QStringList &ports, const PortLister &listPorts,
         bool progress, FILE *err)
{
    const int total = static_cast<int>(message.size()) + 1;
    // From here on a stop signal ends the uploads in order; a message still being typed on the
    // terminal is left to Ctrl-C as usual.
    StopSignals stopSignals;
    // The host's ports are read only where a port is named by its number (or not at all).
    const bool byNumber =
        ports.isEmpty() || std::any_of(ports.begin(), ports.end(), [](const QString &port) {
            return !Serial::namesDevicePath(port) && !RemotePort::names(port);
        });
    const HostPorts host = byNumber ? listPorts() : HostPorts{};
    std::vector<std::unique_ptr<Display>> displays;
    for (const QString &name : ports.isEmpty() ? QStringList{QString()} : ports) {
        auto display = std::make_unique<Display>();
        display->name = name;
        try {
            openPort(display->comm, name.isNull() ? std::nullopt : std::optional(name), host);
        } catch (const SerialError &error) {
            display->failure = uploadFailureText(0, total, error.message());
            display->done = true;
        }
        displays.push_back(std::move(display));
    }

    QEventLoop loop;
    const auto finish = [&](Display &display) {
        display.done = true;
        if (std::all_of(displays.begin(), displays.end(), [](const auto &d) { return d->done; }))
            loop.quit();
    };
    const auto drawSlowest = [&] {
        int slowest = total;
        for (const auto &display : displays) {
            if (display->failure.isEmpty())
                slowest = std::min(slowest, display->sent);
        }
        drawProgress(err, slowest, total);
    };
    for (const auto &owned : displays) {
        Display &display = *owned;
        if (display.done)
            continue;
        QObject::connect(&display.sender, &PacedSender::progressed, &loop, [&](int sent) {
            display.sent = sent;
            if (progress)
                drawSlowest();
            // The port stays open for the last byte's interval too: a close at once could cut
            // it off in the adapter, and the device needs that interval before the message
            // shows.
            if (sent == total)
                QTimer::singleShot(SendInterval, &loop, [&] { finish(display); });
        });
        QObject::connect(&display.sender, &PacedSender::failed, &loop, [&](const QString &reason) {
            display.failure = uploadFailureText(display.sent, total, reason);
            finish(display);
        });
        display.sender.startUpload(message);
    }
    int stoppedBy = 0;
    QObject::connect(&stopSignals, &StopSignals::received, &loop, [&](int signal) {
        // A display that has the whole message keeps it; the signal only ends the wait there.
        for (const auto &display : displays) {
            if (display->sender.isSending()) {
                display->failure =
                    uploadFailureText(display->sent, total, QStringLiteral("interrupted"));
                display->sender.stop();
            }
        }
        stoppedBy = signal;
        loop.quit();
    });
    if (std::any_of(displays.begin(), displays.end(), [](const auto &d) { return !d->done; }))
        loop.exec();
    for (const auto &display : displays)
        display->comm.setPortOpen(false);

    if (progress)
        print(err, QStringLiteral("\r\x1b[K"));
    bool allSent = true;
    for (const auto &display : displays) {
        allSent = allSent && display->failure.isEmpty();
        // One display is told only what went wrong; several, each what became of it.
        if (displays.size() == 1 && !display->failure.isEmpty())
            print(err, QStringLiteral("rq204-send: %1\n").arg(display->failure));
        else if (displays.size() > 1)
            print(err, QStringLiteral("rq204-send: %1: %2\n")
                           .arg(printable(display->name),
                                display->failure.isEmpty()
                                    ? QStringLiteral("sent, all %1 characters").arg(total)
                                    : display->failure));
    }
    return stoppedBy ? 128 + stoppedBy : allSent ? Sent : Failed;
}

} // namespace

int runSend(const QStringList &arguments, PortLister listPorts, FILE *in, FILE *out, FILE *err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends a message of up to 124 characters (a line break counts two) to an RQ204 LCD over "
        "a serial port, one character every 100 ms; \"$\" makes the scrolling pause there."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption portOption(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("The serial port: a port number as --list-ports shows it, a device path, "
                       "rfc2217://HOST:PORT or socket://HOST:PORT. Given more than once, the "
                       "message goes to every port at once. Without it, port 1, or port 2 if "
                       "port 1 does not open."),
        QStringLiteral("PORT"));
    const QCommandLineOption fileOption({QStringLiteral("f"), QStringLiteral("file")},
                                        QStringLiteral("Read the message from PATH (UTF-8)."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption truncateOption(
        QStringLiteral("truncate"),
        QStringLiteral("Send the first 124 characters of a longer message instead of refusing "
                       "it."));
    const QCommandLineOption quietOption(
        {QStringLiteral("q"), QStringLiteral("quiet")},
        QStringLiteral("No progress bar and no notes; warnings and errors still print."));
    const QCommandLineOption listOption(
        {QStringLiteral("l"), QStringLiteral("list-ports")},
        QStringLiteral("List the host's numbered serial ports and whether each can be opened "
                       "now."));
    const QCommandLineOption dryRunOption(
        {QStringLiteral("n"), QStringLiteral("dry-run")},
        QStringLiteral("Print the bytes that would be sent and how long the upload takes; open "
                       "no port."));
    parser.addOptions(
        {portOption, fileOption, truncateOption, quietOption, listOption, dryRunOption});
    parser.addPositionalArgument(
        QStringLiteral("message"),
        QStringLiteral("The message; \"-\" or none reads it from standard input."),
        QStringLiteral("[MESSAGE]"));

    if (!parser.parse(arguments))
        return usageError(err, parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        print(out, parser.helpText());
        return Sent;
    }
    if (parser.isSet(versionOption)) {
        print(out, QStringLiteral("rq204-send %1\n").arg(QStringLiteral(RQ204_VERSION)));
        return Sent;
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return usageError(
            err,
            QStringLiteral("%1 messages given; put the message in quotes").arg(positional.size()));
    if (parser.isSet(listOption)) {
        if (!positional.isEmpty() || parser.isSet(fileOption) || parser.isSet(dryRunOption))
            return usageError(err, QStringLiteral("--list-ports sends nothing; leave out the "
                                                  "message"));
        return printPortList(listPorts(), out, err);
    }
    if (parser.isSet(fileOption) && !positional.isEmpty())
        return usageError(err, QStringLiteral("a message and --file given; choose one"));
    if (parser.isSet(fileOption) && parser.value(fileOption).isEmpty())
        return usageError(err, QStringLiteral("--file needs a file name"));
    const QStringList ports = parser.values(portOption);
    for (const QString &port : ports) {
        if (const QString problem = Serial::portArgumentProblem(port); !problem.isEmpty())
            return usageError(err, problem);
    }
    const bool quiet = parser.isSet(quietOption);

    QString text;
    if (!positional.isEmpty() && positional.constFirst() != u"-") {
        text = positional.constFirst();
    } else {
        const bool fromFile = parser.isSet(fileOption);
        const QString source =
            fromFile ? parser.value(fileOption) : QStringLiteral("standard input");
        if (!fromFile && !quiet && isTerminal(in))
            print(err, QStringLiteral("rq204-send: type the message, then Ctrl-D\n"));
        Input input = readInput(source, fromFile ? source : QString(), fromFile ? nullptr : in);
        if (!input.problem.isEmpty()) {
            print(err, QStringLiteral("rq204-send: %1\n").arg(input.problem));
            return Usage;
        }
        const bool clipped = input.bytes.size() > InputLimit;
        if (clipped && !parser.isSet(truncateOption)) {
            print(err, QStringLiteral("rq204-send: the message is longer than %1 bytes; the RQ204 "
                                      "holds %2 characters\n")
                           .arg(InputLimit)
                           .arg(MessageCapacity));
            return Usage;
        }
        input.bytes.truncate(InputLimit);
        const std::optional<QString> decoded = decodeInput(input.bytes, clipped, source, err);
        if (!decoded)
            return Usage;
        text = *decoded;
    }

    if (const QString problem = controlCharacterProblem(text); !problem.isEmpty())
        return usageError(err, problem);
    QString message = withCrLfBreaks(text);
    if (message.size() > MessageCapacity) {
        if (!parser.isSet(truncateOption)) {
            print(err, QStringLiteral("rq204-send: the message is %1 characters long, %2 too many "
                                      "(the RQ204 holds %3; a line break counts two); shorten it "
                                      "or add --truncate\n")
                           .arg(message.size())
                           .arg(message.size() - MessageCapacity)
                           .arg(MessageCapacity));
            return Usage;
        }
        message = fittingStart(message, MessageCapacity);
        if (!quiet)
            print(err, QStringLiteral("rq204-send: --truncate: sending the first %1 characters\n")
                           .arg(message.size()));
    }
    warnUnsendable(message, err);

    if (parser.isSet(dryRunOption)) {
        printDryRun(message, out);
        return Sent;
    }
    return send(message, ports, listPorts, !quiet && isTerminal(err), err);
}
