#pragma once

#include "linesettings.h"

#include <QByteArrayView>
#include <array>
#include <bitset>

// This program's side of a conversation with an RFC 2217 server, without the socket: fed what
// the server sends, split wherever TCP splits it, it answers telnet's option negotiation, asks
// for the line settings once the server takes COM-PORT-OPTION and holds each setting the server
// reports against the one asked for.
class TelnetReader
{
public:
    enum class State { Negotiating, Ready, Failed };

    // The most of an unfinished subnegotiation held; COM-PORT's longest answer has six bytes,
    // ten from a 64-bit sredird.
    static constexpr qsizetype MostHeld = 256;

    // `where` is the server's "HOST:PORT" as the user wrote it.
    TelnetReader(const QString &where, const LineSettings &line);

    // What this program says first: binary both ways, and that it will speak COM-PORT.
    QByteArray greeting();
    // Reads what the server sent and returns what to answer; data from the device's side is
    // added to `data`. Once failed, nothing more is read or answered.
    QByteArray read(QByteArrayView bytes, QByteArray &data);

    State state() const { return m_state; }
    // Why it failed, in the user's words.
    const QString &failure() const { return m_failure; }
    qsizetype held() const { return m_held.size(); }
    // Why a server that does not set the line up is of no use.
    const QString &refusal() const { return m_refusal; }

private:
    void command(unsigned char verb, unsigned char option, QByteArray &answer);
    void subnegotiation();
    void fail(const QString &reason);

    QString m_where;
    QString m_refusal, m_malformed;    // what the user reads of a server at fault
    std::array<QByteArray, 5> m_asked; // each setting's value, in the order sent
    State m_state = State::Negotiating;
    bool m_afterIac = false;
    unsigned char m_verb = 0; // the WILL, WONT, DO or DONT whose option comes next
    bool m_inSubnegotiation = false;
    QByteArray m_held; // the subnegotiation being read, 0xFF bytes undoubled
    bool m_settingsSent = false;
    int m_taken = 0;             // settings the server has reported as asked, one bit each
    std::bitset<256> m_saidWill; // options this program has said it will or won't do
    std::bitset<256> m_saidDo;   // options it has asked the server to do or not to do
    QString m_failure;
};
