// Feeds an RFC 2217 server's side of the conversation to the reader, in the pieces the input
// chooses, as TCP may split them. Input: one byte N, N piece lengths, then the server's bytes
// (what is left after the pieces is one piece more). Beyond crashes and undefined behaviour it
// aborts when the reader breaks a rule the program relies on: it never holds more than its bound,
// it is ready at most once and fails at most once, never ready after failing, with the reason in
// the user's words, and once failed it reads nothing more and answers nothing.
#include "telnetreader.h"

#include "fuzzbytes.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *rule)
{
    std::fprintf(stderr, "%s\n", rule);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Bytes head(data, size);
    const uint8_t pieces = head.next();
    size_t at = std::min<size_t>(size, 1 + pieces);
    LineSettings line; // the device's, 2400 8N1
    line.baud = 2400;
    TelnetReader reader(QStringLiteral("board:4000"), line);
    QByteArray answers = reader.greeting();
    for (int piece = 0; piece <= pieces && at < size; ++piece) {
        const size_t length = piece < pieces ? std::min<size_t>(head.next(), size - at) : size - at;
        const TelnetReader::State before = reader.state();
        QByteArray shown;
        const QByteArray answer = reader.read(
            QByteArrayView(reinterpret_cast<const char *>(data + at), qsizetype(length)), shown);
        at += length;
        answers += answer;
        if (reader.held() > TelnetReader::MostHeld)
            fail("more held than the bound");
        if (before == TelnetReader::State::Failed &&
            (!answer.isEmpty() || !shown.isEmpty() || reader.state() != before))
            fail("read on after failing");
        if (before == TelnetReader::State::Ready &&
            reader.state() == TelnetReader::State::Negotiating)
            fail("ready, then not");
        if ((reader.state() == TelnetReader::State::Failed) !=
            reader.failure().startsWith(QStringLiteral("the server at board:4000 ")))
            fail("failed without a reason in the user's words, or a reason without failing");
    }
    // Each option is answered once at most, and the line settings are asked for once.
    if (answers.size() > 2 * 256 * 3 + 64)
        fail("an option answered more than once");
    return 0;
}
