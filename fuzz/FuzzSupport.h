#pragma once

// Helpers shared by the fuzz targets: cutting one input into the pieces a parser takes, scratch
// files for parsers that read from disk, and reporting a broken invariant as a finding.

#include <boost/filesystem/path.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace CorvaneFuzz
{
// Reads a fuzz input from the front: single bytes, numbers and NUL-terminated pieces. Reading
// past the end gives zeros and empty pieces, so every input is a complete record.
class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    bool Empty() const { return position >= size; }
    std::uint8_t Byte();
    std::uint32_t Number();
    // The bytes up to the next NUL (or the end); the NUL is consumed.
    std::string Piece();
    // A wide string from the next piece: UTF-8 where the bytes are UTF-8, each other byte as a
    // lone surrogate U+DC80 to U+DCFF, and 0xFF followed by four non-zero bytes as a raw code
    // unit (four digits in base 255, lowest first, each byte minus one), which may be no Unicode
    // scalar at all.
    std::wstring WidePiece();
    // Everything not read yet.
    std::string Rest();

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
};

// The input as a string.
std::string Bytes(const std::uint8_t* data, std::size_t size);

// A folder of this process for scratch files, created on first use and removed at exit.
const boost::filesystem::path& ScratchFolder();

// Replaces the file's content with the given bytes; returns the path.
boost::filesystem::path WriteFile(const boost::filesystem::path& path, const std::string& content);

// Reads a whole file; an unreadable file ends the process (it is part of the fuzz set-up).
std::string ReadFile(const boost::filesystem::path& path);

// The folder of the fuzz targets' data in the source tree.
boost::filesystem::path DataFolder();

// A broken invariant: prints what and the detail, then aborts so that libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what, const std::string& detail = {});
#define CORVANE_FUZZ_CHECK(condition, detail)                                                      \
    do                                                                                             \
    {                                                                                              \
        if (!(condition))                                                                          \
            ::CorvaneFuzz::Fail(#condition, detail);                                               \
    } while (false)

// Printable form of bytes for a finding's message (C escapes for everything but printable ASCII).
std::string Escaped(const std::string& bytes);
std::string Escaped(const std::wstring& text);
} // namespace CorvaneFuzz
