#pragma once

// CRC-32 as zip, PNG and Ethernet compute it (reflected polynomial 0xEDB88320,
// start 0xFFFFFFFF, final inversion). Plain C++: the image-making tool, which
// links nothing of the program, computes the same digest as the reader.

#include <array>
#include <cstddef>
#include <cstdint>

class Crc32 {
public:
    void add(std::uint8_t byte) { m_state = table()[(m_state ^ byte) & 0xFF] ^ (m_state >> 8); }
    template <typename Bytes> void add(const Bytes& bytes) {
        for (const auto byte : bytes)
            add(static_cast<std::uint8_t>(byte));
    }
    std::uint32_t value() const { return m_state ^ 0xFFFFFFFFu; }

private:
    static const std::array<std::uint32_t, 256>& table() {
        static constexpr std::array<std::uint32_t, 256> t = [] {
            std::array<std::uint32_t, 256> entries{};
            for (std::uint32_t i = 0; i < 256; ++i) {
                std::uint32_t c = i;
                for (int k = 0; k < 8; ++k)
                    c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                entries[i] = c;
            }
            return entries;
        }();
        return t;
    }

    std::uint32_t m_state = 0xFFFFFFFFu;
};
