#include "sendcommand.h"

#include "displays.h"
#include "localport.h"
#include "messagetext.h"
#include "portselection.h"
#include "stopsignals.h"
#include "windows1252.h"

#include <QCommandLineParser>
#include <QFile>
#include <QStringDecoder>
#include <algorithm>
#include <optional>
#include <variant>

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

// One line of what the command has to say, under its name.
void say(FILE *err, const QString &text)
{
    print(err, QStringLiteral("rq204-send: %1\n").arg(text));
}

// Says why the message is not sent, and gives no message.
std::nullopt_t refuse(FILE *err, const QString &why)
{
    say(err, why);
    return std::nullopt;
}

int usageError(FILE *err, const QString &problem)
{
    say(err, problem + QStringLiteral("\nTry 'rq204-send --help'."));
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

struct Options
{
    QStringList ports;
    std::optional<QString> message; // given on the command line
    QString file;                   // --file; empty: standard input, where no message is given
    bool truncate = false;
    bool quiet = false;
    bool listPorts = false;
    bool dryRun = false;
};

// What the command line asks for, or the exit status where the command line alone ends the
// command (help, version, a usage error).
std::variant<Options, int> parseArguments(const QStringList &arguments, FILE *out, FILE *err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends a message of up to 124 characters (a line break counts two) to an RQ204 LCD over "
        "a serial port, one character every 100 ms; \"$\" makes the scrolling pause there."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addOptions({
        {{"p", "port"},
         "The serial port: a port number as --list-ports shows it, a device path, "
         "rfc2217://HOST:PORT or socket://HOST:PORT. Given more than once, the message goes to "
         "every port at once. Without it, port 1, or port 2 if port 1 does not open.",
         "PORT"},
        {{"f", "file"}, "Read the message from PATH (UTF-8).", "PATH"},
        {"truncate", "Send the first 124 characters of a longer message instead of refusing it."},
        {{"q", "quiet"}, "No progress bar and no notes; warnings and errors still print."},
        {{"l", "list-ports"},
         "List the host's numbered serial ports and whether each can be opened now."},
        {{"n", "dry-run"},
         "Print the bytes that would be sent and how long the upload takes; open no port."},
    });
    parser.addPositionalArgument(
        "message", "The message; \"-\" or none reads it from standard input.", "[MESSAGE]");

    if (!parser.parse(arguments))
        return usageError(err, parser.errorText());
    const bool help = parser.isSet(helpOption) || parser.isSet("help-all");
    if (help || parser.isSet(versionOption)) {
        print(out, help ? parser.helpText()
                        : QStringLiteral("rq204-send %1\n").arg(QStringLiteral(RQ204_VERSION)));
        return Sent;
    }
    const QStringList positional = parser.positionalArguments();
    const bool fileGiven = parser.isSet("file");
    Options options;
    options.ports = parser.values("port");
    if (!positional.isEmpty() && positional.constFirst() != u"-")
        options.message = positional.constFirst();
    options.file = parser.value("file");
    options.truncate = parser.isSet("truncate");
    options.quiet = parser.isSet("quiet");
    options.listPorts = parser.isSet("list-ports");
    options.dryRun = parser.isSet("dry-run");

    QString problem;
    if (positional.size() > 1)
        problem =
            QStringLiteral("%1 messages given; put the message in quotes").arg(positional.size());
    else if (options.listPorts && (!positional.isEmpty() || fileGiven || options.dryRun))
        problem = QStringLiteral("--list-ports sends nothing; leave out the message");
    else if (fileGiven && !positional.isEmpty())
        problem = QStringLiteral("a message and --file given; choose one");
    else if (fileGiven && options.file.isEmpty())
        problem = QStringLiteral("--file needs a file name");
    for (qsizetype i = 0; problem.isEmpty() && !options.listPorts && i < options.ports.size(); ++i)
        problem = Serial::portArgumentProblem(options.ports.at(i));
    if (!problem.isEmpty())
        return usageError(err, problem);
    return options;
}

// The message's text in the file at `path`, or on standard input (`stream`): UTF-8, one trailing
// line break (from echo or an editor) not part of it; past InputLimit cut or, without
// `truncate`, refused.
std::optional<QString> readText(const QString &source, const QString &path, FILE *stream,
                                bool truncate, FILE *err)
{
    QFile file(path);
    const bool opened =
        stream ? file.open(stream, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);
    QByteArray bytes; // at most InputLimit + 1, to tell a longer input
    // A pipe hands its bytes over in pieces.
    for (QByteArray piece; opened && bytes.size() <= InputLimit; bytes += piece) {
        if ((piece = file.read(InputLimit + 1 - bytes.size())).isEmpty())
            break;
    }
    if (!opened || file.error() != QFileDevice::NoError)
        return refuse(err, QStringLiteral("cannot read %1: %2").arg(source, file.errorString()));
    const bool clipped = bytes.size() > InputLimit;
    if (clipped && !truncate)
        return refuse(err, QStringLiteral("the message is longer than %1 bytes; the RQ204 holds "
                                          "%2 characters")
                               .arg(InputLimit)
                               .arg(MessageCapacity));
    bytes.truncate(InputLimit);
    // Stateless, an unfinished character at the end is an error; a clipped input may end in one,
    // which never reaches the message.
    QStringDecoder decoder(QStringDecoder::Utf8, clipped ? QStringConverter::Flag::Default
                                                         : QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    // Guessing the code page would put wrong characters on the display without a word.
    if (decoder.hasError())
        return refuse(err, QStringLiteral("%1 is not UTF-8 text; save it as UTF-8").arg(source));
    if (clipped)
        return text;
    if (text.endsWith(u"\r\n"))
        text.chop(2);
    else if (text.endsWith(u'\n') || text.endsWith(u'\r'))
        text.chop(1);
    // A script whose message command failed would blank the display.
    if (text.isEmpty())
        return refuse(err, QStringLiteral("%1 holds no message; nothing was sent").arg(source));
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

// Names, once each, the characters that go out as "?", as the RQ204's code page lacks them.
void warnUnsendable(const QString &message, FILE *err)
{
    QList<char32_t> named;
    for (const char32_t code : message.toUcs4()) {
        // One outside the 16-bit range is two characters of the message, and goes out as two.
        const qsizetype units = code > 0xffff ? 2 : 1;
        if (code == u'?' || (units == 1 && windows1252Byte(char16_t(code)) != '?') ||
            named.contains(code))
            continue;
        named.append(code);
        const QString shown = QChar::isPrint(code)
                                  ? QStringLiteral("\"%1\" ").arg(QString::fromUcs4(&code, 1))
                                  : QString();
        say(err, QStringLiteral("warning: %1(U+%2) is not in the RQ204's code page "
                                "(Windows-1252); it goes out as \"%3\"")
                     .arg(shown, QString::number(uint(code), 16).toUpper().rightJustified(4, u'0'),
                          QString(units, u'?')));
    }
}

// The message as it goes out, from the command line, a file or standard input; nothing, with why
// on `err`, for one that can't be sent.
std::optional<QString> readMessage(const Options &options, FILE *in, FILE *err)
{
    std::optional<QString> text = options.message;
    if (!text) {
        const bool fromFile = !options.file.isEmpty();
        const QString source = fromFile ? options.file : QStringLiteral("standard input");
        if (!fromFile && !options.quiet && isTerminal(in))
            say(err, QStringLiteral("type the message, then Ctrl-D"));
        text = readText(source, options.file, fromFile ? nullptr : in, options.truncate, err);
        if (!text)
            return std::nullopt;
    }
    if (const QString problem = controlCharacterProblem(*text); !problem.isEmpty()) {
        usageError(err, problem);
        return std::nullopt;
    }
    QString message = withCrLfBreaks(*text);
    if (message.size() > MessageCapacity && !options.truncate)
        return refuse(err, QStringLiteral("the message is %1 characters long, %2 too many (the "
                                          "RQ204 holds %3; a line break counts two); shorten it "
                                          "or add --truncate")
                               .arg(message.size())
                               .arg(message.size() - MessageCapacity)
                               .arg(MessageCapacity));
    if (message.size() > MessageCapacity) {
        message = fittingStart(message, MessageCapacity);
        if (!options.quiet)
            say(err,
                QStringLiteral("--truncate: sending the first %1 characters").arg(message.size()));
    }
    warnUnsendable(message, err);
    return message;
}

QString readable(unsigned char byte, bool last)
{
    switch (byte) {
    case PauseCode:
        return QStringLiteral("[pause]");
    case EndCode:
        return last ? QStringLiteral("[end]") : QStringLiteral("[CR]");
    case '\n':
        return QStringLiteral("[LF]");
    }
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

void printPortList(const HostPorts &ports, FILE *out, FILE *err)
{
    QList<QStringList> rows;
    QList<qsizetype> widths(3, 0);
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const PortDevice &port = ports.at(i);
        if (port.path.isEmpty())
            continue;
        // Asked without opening the device, so that no holder is disturbed, in the words an open
        // would use; where only an open could tell, nothing is told.
        const std::optional<DeviceCheck> check = checkDevice(port.path);
        rows.append({QString::number(i + 1), printable(port.path),
                     port.description.isEmpty() ? QStringLiteral("-") : printable(port.description),
                     !check ? QString()
                     : check->problem.isEmpty()
                         ? QStringLiteral("can be opened")
                         : QStringLiteral("cannot be opened: ") + printable(check->problem)});
        for (int column = 0; column < 3; ++column)
            widths[column] = std::max(widths[column], rows.last().at(column).size());
    }
    QString text;
    for (const QStringList &row : rows) {
        text += QStringLiteral("%1  %2  %3\n")
                    .arg(row.at(0).rightJustified(widths[0]), row.at(1).leftJustified(widths[1]),
                         row.at(3).isEmpty() ? row.at(2)
                                             : row.at(2).leftJustified(widths[2]) +
                                                   QStringLiteral("  ") + row.at(3));
    }
    if (rows.isEmpty())
        say(err, QStringLiteral("no serial port was found"));
    print(out, text);
}

// The progress bar, at the slowest display still going.
void drawProgress(const Displays &displays, int total, FILE *err)
{
    constexpr int Width = 30;
    int sent = total;
    for (const auto &display : displays) {
        if (display->failure.isEmpty())
            sent = std::min(sent, display->sent);
    }
    const int done = sent * Width / total;
    print(err, QStringLiteral("\r[%1%2] %3/%4 characters, %5 s left")
                   .arg(QString(done, u'#'), QString(Width - done, u'.'))
                   .arg(sent)
                   .arg(total)
                   .arg(seconds(total - sent)));
}

// Tells what became of the upload (of one display only what went wrong); whether every display
// has the whole message.
bool report(const Displays &displays, int total, FILE *err)
{
    bool allSent = true;
    for (const auto &display : displays) {
        allSent = allSent && display->failure.isEmpty();
        if (displays.size() == 1 && !display->failure.isEmpty())
            say(err, display->failure);
        else if (displays.size() > 1)
            say(err, QStringLiteral("%1: %2").arg(
                         printable(display->name),
                         display->failure.isEmpty()
                             ? QStringLiteral("sent, all %1 characters").arg(total)
                             : display->failure));
    }
    return allSent;
}

} // namespace

int runSend(const QStringList &arguments, PortLister listPorts, FILE *in, FILE *out, FILE *err)
{
    const std::variant<Options, int> parsed = parseArguments(arguments, out, err);
    if (const int *status = std::get_if<int>(&parsed))
        return *status;
    const Options &options = std::get<Options>(parsed);
    if (options.listPorts) {
        printPortList(listPorts(), out, err);
        return Sent;
    }
    const std::optional<QString> message = readMessage(options, in, err);
    if (!message)
        return Usage;
    if (options.dryRun) {
        printDryRun(*message, out);
        return Sent;
    }
    // From here on a stop signal ends the uploads in order; a message still being typed on the
    // terminal is left to Ctrl-C as usual.
    StopSignals stopSignals;
    const int total = static_cast<int>(message->size()) + 1;
    const Displays displays = openDisplays(options.ports, listPorts, total);
    const bool progress = !options.quiet && isTerminal(err);
    const int stoppedBy = upload(displays, *message, stopSignals, [&] {
        if (progress)
            drawProgress(displays, total, err);
    });
    // Wiped with blanks (as long as the longest bar: 125 characters, 12.5 s): a Windows console
    // prints a terminal's control sequence as it stands.
    if (progress)
        print(err, QStringLiteral("\r%1\r").arg(QString(64, u' ')));
    const bool allSent = report(displays, total, err);
    return stoppedBy ? 128 + stoppedBy : allSent ? Sent : Failed;
}
