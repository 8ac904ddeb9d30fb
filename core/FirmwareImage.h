#pragma once

#include "AppVersion.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

// The fields of one line of the firmware image, as the update reads them.
// Positions count from 1: ':' at 1, record type at 2, byte count N at 3-4,
// address at 5-8 (high byte first), then N - 3 data bytes of two digits each.
// Anything after the data bytes is not read.
struct FirmwareLine {
    int recordType = 0;
    int byteCount = 0;         // N; only read on data lines
    std::uint16_t address = 0; // only read on data lines
    QByteArray data;           // N - 3 bytes; only read on data lines

    bool isData() const { return recordType == DataRecord; }

    static constexpr int DataRecord = 1;
    static constexpr int VersionRecord = 9; // closes the image; its first four data bytes are the version
    static constexpr int NoRecord = -1;     // an empty line
    // A data line's two frames carry N + 1 payload bytes, and a frame holds at most 59.
    static constexpr int MinByteCount = 3;
    static constexpr int MaxByteCount = 58;
};

// The firmware image in memory: the lines of the embedded text, without their
// line breaks, indexed from 0. Loading also checks every line the update will
// read, so that a broken image is refused before anything is sent to a hub
// rather than half-way through programming it.
class FirmwareImage {
public:
    // Splits a text into lines. CR LF, a lone CR and a lone LF each end one line
    // (so LF CR ends two); a NUL byte ends the text; a break at the very end adds
    // no empty last line.
    static QStringList splitLines(const QByteArray& text);

    // Checks one whole line of an image file: the line format and its checksum
    // (the low byte of the sum of type, count, address bytes, data bytes and
    // checksum is 0). Says why in *problem when it fails.
    static std::optional<FirmwareLine> readCheckedLine(const QString& line, QString* problem);

    // Reads the fields of one line. Lines of a type other than 1 have only their
    // record type read. Returns nothing, and says why in *problem, when a field
    // the update needs cannot be read.
    static std::optional<FirmwareLine> readLine(const QString& line, QString* problem = nullptr);

    // The image built into the program: its lines are checked as the update
    // reads them, and its version is the built-in one.
    void load(const QByteArray& text);
    // An image file: besides that, every line must be whole, in the line format
    // (":", type, count, address, data, checksum), with its own checksum right,
    // and the image must end in its version record, which gives the version.
    void loadChecked(const QByteArray& text);
    void clear();

    // The version a hub runs after this image was written into it.
    std::uint32_t version() const { return m_version; }
    // Where the image came from: "built-in", or the image file's name.
    QString origin() const { return QStringLiteral("built-in"); }
    // SHA-256 of the image's lines, in hex.
    QString digest() const;

    int count() const { return static_cast<int>(m_lines.size()); }
    const QString& line(int index) const { return m_lines.at(index); }
    const QStringList& lines() const { return m_lines; }

    // False when a line cannot be read or when there is nothing to program.
    bool isUsable() const { return m_problem.isEmpty(); }
    // Index of the first line that cannot be read, or -1.
    int firstBadLine() const { return m_firstBadLine; }
    // Why the image is not usable (naming the line, counted from 1), or empty.
    QString problem() const { return m_problem; }

private:
    void validate();
    void validateChecked();

    QStringList m_lines;
    int m_firstBadLine = -1;
    QString m_problem = emptyProblem();
    std::uint32_t m_version = AppFirmwareVersion;

    static QString emptyProblem();
};
