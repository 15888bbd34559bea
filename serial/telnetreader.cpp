#include "telnetreader.h"

#include <QtEndian>

namespace {

// Telnet's commands and the options this program speaks (RFC 854, 856, 858, 2217); a
// subnegotiation is IAC SB (ff fa) … IAC SE (ff f0).
constexpr unsigned char Iac = 255, Dont = 254, Do = 253, Wont = 252, Will = 251, Sb = 250, Se = 240;
constexpr unsigned char Binary = 0, SuppressGoAhead = 3, ComPort = 44;
// COM-PORT-OPTION's settings, in the order sent; the server reports each with its code + 100.
constexpr unsigned char SetBaudRate = 1, SetControl = 5, ServerOffset = 100;
constexpr int AllSettings = 0b11111;

// RFC 2217's codes for parity, stop size and flow control: each name's place in its table + 1.
constexpr char Parities[] = "NOEMS";
constexpr LineSettings::StopBits StopSizes[] = {
    LineSettings::StopBits::One, LineSettings::StopBits::Two, LineSettings::StopBits::OneAndHalf};
constexpr unsigned char NoFlowControl = 1;
// Each setting's unit, and the names of the values RFC 2217 numbers; baud rate first.
const char *const Units[] = {"baud", "data bits", "parity", "stop bits", "flow control"};
const char *const Names[] = {"", "", "none odd even mark space", "1 2 1.5",
                             "none XON/XOFF RTS/CTS"};

// Setting `code`'s value as the user reads it: "2400", "none"; with its unit ("9600 baud",
// "no parity", "1 stop bit", "parity code 9") where it is what the server set.
QString named(int code, const QByteArray &value, bool withUnit)
{
    const QString unit = QLatin1String(Units[code - 1]);
    const quint32 number = code == SetBaudRate ? qFromBigEndian<quint32>(value.constData())
                                               : static_cast<unsigned char>(value.at(0));
    const QStringList names = QString::fromLatin1(Names[code - 1]).split(u' ', Qt::SkipEmptyParts);
    if (!names.isEmpty() && (number < 1 || number > quint32(names.size())))
        return QStringLiteral("%1 code %2").arg(unit).arg(number);
    const QString name = names.isEmpty() ? QString::number(number) : names.at(number - 1);
    if (!withUnit)
        return name;
    if (name == u"none")
        return QStringLiteral("no ") + unit;
    return name + u' ' + (name == u"1" ? unit.chopped(1) : unit);
}

} // namespace

TelnetReader::TelnetReader(const QString &where, const LineSettings &line) : m_where(where)
{
    const auto one = [](qsizetype code) { return QByteArray(1, char(code)); };
    m_asked = {QByteArray(4, 0), one(line.dataBits),
               one(QByteArray(Parities).indexOf(line.parity) + 1),
               one(std::find(std::begin(StopSizes), std::end(StopSizes), line.stopBits) -
                   std::begin(StopSizes) + 1),
               one(NoFlowControl)};
    qToBigEndian(quint32(line.baud), m_asked[0].data());
    m_refusal = QStringLiteral("the server at %1 does not take line settings; use socket://%1 if "
                               "its port is already set to %2")
                    .arg(where, line.name());
    m_malformed = QStringLiteral("the server at %1 sent a malformed answer").arg(where);
}

QByteArray TelnetReader::greeting()
{
    // Binary both ways, so that a CR goes out as itself and nothing is added to it.
    m_saidWill[Binary] = m_saidWill[ComPort] = m_saidDo[Binary] = true;
    return QByteArray::fromHex("fffb00 fffd00 fffb2c"); // WILL and DO BINARY, WILL COM-PORT
}

QByteArray TelnetReader::read(QByteArrayView bytes, QByteArray &data)
{
    QByteArray answer;
    for (qsizetype i = 0; i < bytes.size() && m_state != State::Failed; ++i) {
        const auto byte = static_cast<unsigned char>(bytes.at(i));
        if (m_verb != 0) { // WILL, WONT, DO or DONT: this is its option
            command(std::exchange(m_verb, 0), byte, answer);
        } else if (!m_afterIac && byte == Iac) {
            m_afterIac = true;
        } else if (!std::exchange(m_afterIac, false) || byte == Iac) { // 0xFF comes twice
            if (!m_inSubnegotiation)
                data += char(byte);
            else if (m_held.size() < MostHeld)
                m_held += char(byte);
            else
                fail(m_malformed);
        } else if (m_inSubnegotiation) { // nothing but its end may follow IAC in there
            m_inSubnegotiation = false;
            if (byte == Se)
                subnegotiation();
            else
                fail(m_malformed);
            m_held.clear();
        } else if (byte == Sb) {
            m_inSubnegotiation = true;
        } else if (byte >= Will && byte <= Dont) {
            m_verb = byte;
        } // (a command without an option, such as NOP or GA, means nothing here)
    }
    return m_state == State::Failed ? QByteArray() : answer;
}

void TelnetReader::command(unsigned char verb, unsigned char option, QByteArray &answer)
{
    if (option == ComPort && verb == Dont && m_state == State::Negotiating) {
        fail(m_refusal);
    } else if (option == ComPort && verb == Do) {
        if (!std::exchange(m_settingsSent, true)) {
            for (unsigned char code = SetBaudRate; code <= SetControl; ++code) {
                QByteArray value = m_asked[code - 1];
                // Telnet's 0xFF goes twice in a subnegotiation too.
                value.replace(QByteArray(1, char(Iac)), QByteArray(2, char(Iac)));
                answer += "\xff\xfa\x2c" + QByteArray(1, char(code)) + value + "\xff\xf0";
            }
        }
    } else if (verb == Do || verb == Will) {
        // Every other option the server asks for or offers is declined, but binary and suppressed
        // go-aheads; each is answered once, and never an answer to this program's own question.
        const bool wanted = option == Binary || option == SuppressGoAhead;
        std::bitset<256> &said = verb == Do ? m_saidWill : m_saidDo;
        if (!said[option])
            answer += QByteArray(1, char(Iac)) +
                      char(verb == Do ? (wanted ? Will : Wont) : (wanted ? Do : Dont)) +
                      char(option);
        said[option] = true;
    }
}

void TelnetReader::subnegotiation()
{
    if (m_held.size() < 2 || static_cast<unsigned char>(m_held.at(0)) != ComPort ||
        m_state != State::Negotiating)
        return;
    const int code = static_cast<unsigned char>(m_held.at(1)) - ServerOffset;
    if (code < SetBaudRate || code > SetControl)
        return;
    const QByteArray &asked = m_asked[std::size_t(code - 1)];
    // Only the value's own bytes count: a 64-bit sredird writes a C unsigned long, the baud in
    // the first four of eight bytes, and pyserial's client takes that too.
    const QByteArray value = m_held.mid(2, asked.size());
    if (value.size() < asked.size())
        fail(m_malformed);
    else if (value != asked)
        fail(QStringLiteral("the server at %1 set %2 instead of %3")
                 .arg(m_where, named(code, value, true), named(code, asked, false)));
    else if ((m_taken |= 1 << (code - 1)) == AllSettings)
        m_state = State::Ready;
}

void TelnetReader::fail(const QString &reason)
{
    m_state = State::Failed;
    m_failure = reason;
}
