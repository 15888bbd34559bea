#pragma once

#include <QJsonObject>
#include <QStringList>
#include <termios.h>

// What the virtual RQ204 makes of the line an uploader set up.
struct LineReport
{
    // The summary's baud, data_bits, parity, stop_bits and flow; null where unknown (data bits
    // and parity where the pty cannot carry them).
    QJsonObject fields{
        {"baud", {}}, {"data_bits", {}}, {"parity", {}}, {"stop_bits", {}}, {"flow", {}}};
    // How the line differs from the RQ204's 2400 8N1 without flow control.
    QStringList problems;
};

// The report of `tio`, as the pty's master reads it; `framingVisible` where it carries framing.
LineReport lineReport(const termios &tio, bool framingVisible);
