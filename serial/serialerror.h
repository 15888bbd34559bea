#pragma once

#include <QString>
#include <stdexcept>

// Raised by the serial control access that failed; its text is written for the user
// ("port 3 could not be opened: no such port") and can be shown as it stands.
class SerialError : public std::runtime_error
{
public:
    explicit SerialError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};
