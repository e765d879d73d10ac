#pragma once

// Reading and patching the headers of a PE file held in memory, for tests that alter signed
// programs.

#include <cstddef>
#include <cstdint>
#include <string>

namespace CorvaneTest
{
inline std::uint32_t Read32(const std::string& bytes, std::size_t offset)
{
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;)
        value = value << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    return value;
}

inline std::uint16_t Read16(const std::string& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes.at(offset)) |
                                      static_cast<unsigned char>(bytes.at(offset + 1)) << 8);
}

inline void Write32(std::string& bytes, std::size_t offset, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i)
        bytes.at(offset + i) = static_cast<char>(value >> (8 * i) & 0xFF);
}

inline void Write16(std::string& bytes, std::size_t offset, std::uint16_t value)
{
    bytes.at(offset) = static_cast<char>(value & 0xFF);
    bytes.at(offset + 1) = static_cast<char>(value >> 8);
}

// Where things are in the headers of a PE file.
struct PeLayout
{
    explicit PeLayout(const std::string& image)
        : pe(Read32(image, 0x3C)), optionalHeader(pe + 24), checksum(optionalHeader + 64),
          securityEntry(optionalHeader + (Read16(image, optionalHeader) == 0x10B ? 128 : 144)),
          firstSection(optionalHeader + Read16(image, pe + 20)),
          firstSectionData(Read32(image, firstSection + 20)),
          certificateTable(Read32(image, securityEntry))
    {
    }

    std::size_t pe, optionalHeader, checksum, securityEntry, firstSection, firstSectionData,
        certificateTable;
};
} // namespace CorvaneTest
