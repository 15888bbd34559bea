#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <cstdio>

// What the tests of uploads share: the virtual RQ204 at the far end, and what a command said.

// Starts the virtual RQ204 (its path from CMake) for one upload and returns its pty, or an
// empty path; `pathFile` is where it says which pty that is.
QString startDevice(QProcess &device, const QString &pathFile);
// The virtual RQ204's closing SUMMARY line, read from what it printed; empty without one.
QJsonObject summaryOf(const QByteArray &output);
// Starts metacity on the test's X server; whether it has taken over (it names itself on the
// root window) within 10 s.
bool startWindowManager(QProcess &windowManager);
// What a command wrote into a stream the test handed it.
QString writtenTo(FILE *stream);
