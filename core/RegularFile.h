#pragma once

// Reads a file that a user names, and only a regular one: a FIFO, a device
// such as /dev/zero, a directory or a file above the limit is refused before a
// byte is read, so a wrong name can neither block nor fill the memory.

#include <QByteArray>
#include <QString>

#include <optional>

// The whole file, or nothing with why in *problem (a phrase: "it is a FIFO").
std::optional<QByteArray> readRegularFile(const QString& path, qint64 limit, QString* problem);
