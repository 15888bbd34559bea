#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>

// Starts the virtual RQ204 (its path from CMake) for one upload and returns its pty, or an
// empty path; `pathFile` is where it says which pty that is.
QString startDevice(QProcess &device, const QString &pathFile);
// The virtual RQ204's closing SUMMARY line, read from what it printed; empty without one.
QJsonObject summaryOf(const QByteArray &output);
