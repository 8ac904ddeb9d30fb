// Writes a stand-in firmware image: 625 data lines and one closing line, each
// 48 characters and CR LF. Data lines carry 19 bytes that look enciphered (a
// keyed xorshift stream) at byte addresses that advance by 19; the closing line
// (type 9) states the image's version, its number of data lines and data bytes
// and the CRC-32 of its data lines, as core/FirmwareImage.h describes. The last
// two characters of every line are its checksum.
// The output depends on nothing but this file and the CRC.
#include "Crc32.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int LineCount = 626;
constexpr int DataBytesPerLine = 19;
constexpr std::uint32_t Key = 0x51C0A7E5;
constexpr std::uint32_t Version = 0x11150906;

class KeyStream {
public:
    explicit KeyStream(std::uint32_t key) : m_state(key) {}
    std::uint8_t next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return static_cast<std::uint8_t>(m_state >> 24);
    }

private:
    std::uint32_t m_state;
};

std::string line(int type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
    static const char digits[] = "0123456789ABCDEF";
    const int byteCount = static_cast<int>(data.size()) + 3;
    std::string text = ":";
    text += digits[type & 0xF];
    auto hexByte = [&](unsigned value) {
        text += digits[(value >> 4) & 0xF];
        text += digits[value & 0xF];
    };
    unsigned sum = static_cast<unsigned>(type + byteCount + (address >> 8) + (address & 0xFF));
    hexByte(static_cast<unsigned>(byteCount));
    hexByte(address >> 8);
    hexByte(address & 0xFF);
    for (std::uint8_t byte : data) {
        hexByte(byte);
        sum += byte;
    }
    hexByte((0x100 - (sum & 0xFF)) & 0xFF);
    return text + "\r\n";
}

} // namespace

int main(int argc, char** argv) {
    std::string image;
    KeyStream stream(Key);
    Crc32 crc;
    std::vector<std::uint8_t> data(DataBytesPerLine);
    constexpr int DataLines = LineCount - 1;
    for (int i = 0; i < DataLines; ++i) {
        for (auto& byte : data)
            byte = stream.next();
        const auto address = static_cast<std::uint16_t>(i * DataBytesPerLine);
        // The bytes the line's checksum covers, without the type.
        crc.add(static_cast<std::uint8_t>(DataBytesPerLine + 3));
        crc.add(static_cast<std::uint8_t>(address >> 8));
        crc.add(static_cast<std::uint8_t>(address));
        crc.add(data);
        image += line(1, address, data);
    }
    // Version, data lines, data bytes, CRC: each four bytes, high first; then zeros.
    std::vector<std::uint8_t> closing(DataBytesPerLine, 0);
    const std::uint32_t fields[] = {Version, DataLines, DataLines * DataBytesPerLine, crc.value()};
    for (std::size_t f = 0; f < 4; ++f)
        for (std::size_t k = 0; k < 4; ++k)
            closing[4 * f + k] = static_cast<std::uint8_t>(fields[f] >> (24 - 8 * k));
    image += line(9, 0, closing);

    FILE* out = argc > 1 ? std::fopen(argv[1], "wb") : stdout;
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
    if (out != stdout && std::fclose(out) != 0)
        return 1;
    return written ? 0 : 1;
}
