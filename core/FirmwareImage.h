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
    static constexpr int ClosingRecord = 9; // closes the image: see ImageSummary
    static constexpr int NoRecord = -1;     // an empty line
    // A data line's two frames carry N + 1 payload bytes, and a frame holds at most 59.
    static constexpr int MinByteCount = 3;
    static constexpr int MaxByteCount = 58;
};

// What the closing record states of the image it closes, in its data bytes,
// each number high byte first: 0-3 the version (where older readers look for
// it), 4-7 the number of data lines, 8-11 the number of data bytes they carry,
// 12-15 the CRC-32 (see Crc32.h) of the data lines. The CRC runs over every
// data line in order, over the bytes its own checksum covers except the type:
// byte count, address high, address low, data bytes. Any further bytes are 0.
struct ImageSummary {
    std::uint32_t version = 0;
    std::uint32_t dataLines = 0;
    std::uint32_t dataBytes = 0;
    std::uint32_t crc = 0;

    static constexpr int Size = 16;
    static std::optional<ImageSummary> read(const QByteArray& data);
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

    // The largest image file read; the built-in image has 31,300 bytes.
    static constexpr qint64 MaxFileSize = 1024 * 1024;
    // An image file's text, read only when it is a regular file of at most
    // MaxFileSize bytes. Nothing, and why in *problem, otherwise.
    static std::optional<QByteArray> readFile(const QString& path, QString* problem);

    // Any text in the line format: its lines are checked as the update reads
    // them, and its version is the built-in one.
    void load(const QByteArray& text);
    // The image built into the program, proven whole as a file is, and of the
    // built-in version.
    void loadBuiltIn();
    // An image file: besides that, every line must be whole, in the line format
    // (":", type, count, address, data, checksum), with its own checksum right;
    // only data lines and one closing record; the data lines' addresses run on
    // from the first without gap, repeat or overlap; and the closing record's
    // counts and CRC must be those of the data lines. Its version is the
    // closing record's.
    void loadChecked(const QByteArray& text, const QString& origin = QString());
    void clear();

    // The version a hub runs after this image was written into it.
    std::uint32_t version() const { return m_version; }
    // "built-in", or the file's path as given.
    QString origin() const { return m_origin; }
    // The CRC-32 of the data lines (see ImageSummary), 8 lowercase hex digits.
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
    void validateChecked(std::optional<std::uint32_t> wantedVersion);
    void refuse(int index, const QString& why);

    QStringList m_lines;
    QString m_origin;
    std::uint32_t m_crc = 0;
    int m_firstBadLine = -1;
    QString m_problem = emptyProblem();
    std::uint32_t m_version = AppFirmwareVersion;

    static QString emptyProblem();
};
