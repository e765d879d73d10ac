#pragma once

// Reading and patching the headers of a PE file held in memory, for tests that alter signed
// programs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

// Copies of a signed program whose certificate table holds more than its one signature, each
// with a name: the ways to hide a payload in a signed file without touching what the image
// digest covers.
inline std::vector<std::pair<std::string, std::string>>
TamperedCertificateTables(const std::string& image, const std::string& payload)
{
    const PeLayout layout(image);
    const std::uint32_t tableSize = Read32(image, layout.securityEntry + 4);
    const std::uint32_t entryLength = Read32(image, layout.certificateTable);
    std::string padded = payload;
    padded.resize((payload.size() + 7) & ~std::size_t{7}, '\0');
    const auto grown = [&](std::uint32_t entryGrowth, const std::string& appended)
    {
        std::string bytes = image + appended;
        Write32(bytes, layout.certificateTable, entryLength + entryGrowth);
        Write32(bytes, layout.securityEntry + 4,
                tableSize + static_cast<std::uint32_t>(appended.size()));
        return bytes;
    };
    const auto size = static_cast<std::uint32_t>(padded.size());

    std::vector<std::pair<std::string, std::string>> variants;
    variants.emplace_back("payload inside the entry", grown(size, padded));
    variants.emplace_back("zeros inside the entry", grown(16, std::string(16, '\0')));
    variants.emplace_back("table longer than its entry", grown(0, std::string(8, '\0')));
    std::string second(8, '\0');
    Write32(second, 0, 8 + size);
    Write16(second, 4, 0x0200);
    Write16(second, 6, 0x0002);
    variants.emplace_back("second entry", grown(0, second + padded));
    variants.emplace_back("data after the table", image + padded);
    std::string revision1 = image;
    Write16(revision1, layout.certificateTable + 4, 0x0100);
    variants.emplace_back("revision 1.0 entry", revision1);
    return variants;
}
} // namespace CorvaneTest
