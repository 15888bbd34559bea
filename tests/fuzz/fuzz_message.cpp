// Pipes the input into `rq204-send --dry-run` as its message and reads the upload stream back
// from the bytes it prints. Beyond crashes and undefined behaviour it aborts when what would go
// on the line breaks the device's format: a message of n characters (read as UTF-8, one trailing
// line break dropped, every line break made CR LF) is n + 1 bytes ending in 0x0D, with 0x0B
// exactly where "$" stood; a message refused is refused in words, with nothing printed.
#include "messagetext.h"
#include "sendcommand.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *rule, const QByteArray &printed)
{
    std::fprintf(stderr, "%s\n%s\n", rule, printed.constData());
    std::abort();
}

QByteArray readBack(FILE *stream)
{
    QFile file;
    return file.open(stream, QIODevice::ReadOnly) && file.seek(0) ? file.readAll() : QByteArray();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz-message";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);

    FILE *in = std::tmpfile(), *out = std::tmpfile(), *err = std::tmpfile();
    std::fwrite(data, 1, size, in);
    std::rewind(in);
    const int status = runSend({"rq204-send", "--dry-run"}, {}, in, out, err);
    const QByteArray printed = readBack(out), said = readBack(err);
    for (FILE *stream : {in, out, err})
        std::fclose(stream);

    if (status != 0) {
        if (status != 2 || !printed.isEmpty() || !said.startsWith("rq204-send: "))
            fail("refused without a word, or with bytes printed", said);
        return 0;
    }
    // Each line: up to 16 bytes in hex in 47 columns, two blanks, what they stand for.
    QByteArray stream;
    for (const QByteArray &line : printed.split('\n'))
        if (line.mid(47, 2) == "  ")
            stream += QByteArray::fromHex(line.left(47));

    QString message = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    if (message.endsWith(u"\r\n"))
        message.chop(2);
    else if (message.endsWith(u'\n') || message.endsWith(u'\r'))
        message.chop(1);
    message = withCrLfBreaks(message);
    if (stream.size() != message.size() + 1 || !stream.endsWith('\x0d'))
        fail("not n + 1 bytes ending in 0x0D", printed);
    for (qsizetype i = 0; i < message.size(); ++i)
        if ((stream.at(i) == '\x0b') != (message.at(i) == u'$'))
            fail("0x0B where no \"$\" stood, or \"$\" not sent as 0x0B", printed);
    return 0;
}
