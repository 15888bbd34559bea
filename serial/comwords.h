#pragma once

#include <QString>

// What Windows' communications API returns for a COM port, in this program's words: pure
// functions of the system's answers, built on every platform so that the tests on Linux hold
// them (localport_win.cpp asks the system).
namespace Serial {

// The words after "could not be opened: " for Windows error `code`; `systemText` is the
// system's own message for it, for the codes this program has no words of its own for.
QString comOpenErrorText(quint32 code, const QString &systemText);

// What became of a WriteFile of one byte that returned `done`, having taken `written` bytes, or
// failed with `error`: empty where the byte was taken, else the words after the port's label
// ("was disconnected", "stopped taking bytes").
QString comWriteProblem(bool done, quint32 written, quint32 error, const QString &systemText);

} // namespace Serial
