#pragma once

#include <string>

namespace FileSystemHelper
{
// Code pages accepted by the conversions.
enum CodePage : unsigned int
{
    CodePageAnsi = 0,     // the system ANSI code page (UTF-8 on Linux)
    CodePageUtf8 = 65001, // UTF-8
};

// Narrow to wide and back in the given code page. Empty input gives an empty result; embedded
// NULs pass through. UTF-8 is lossless for names: on Linux a byte that is not valid UTF-8 becomes
// the lone surrogate U+DC80..U+DCFF of its value and turns back into the same byte; on Windows a
// lone surrogate of ill-formed UTF-16 keeps a three-byte form and turns back into itself. A wide
// value that stands for no byte string on Linux (above U+10FFFF, another lone surrogate) gives an
// empty result. Text shown to people or parsers must still be made well-formed by its writer.
std::wstring ToWide(const std::string& text, unsigned int codePage);
std::string ToNarrow(const std::wstring& text, unsigned int codePage);
} // namespace FileSystemHelper

#include <boost/filesystem/path.hpp>

namespace FileSystemHelper
{
// A file-system path as wide text and back, in the platform's own path encoding (UTF-16 on
// Windows, bytes read as UTF-8 with the escapes above on Linux), so that any path the platform
// accepts round-trips exactly.
std::wstring WidePath(const boost::filesystem::path& path);
boost::filesystem::path PathFromWide(const std::wstring& path);
} // namespace FileSystemHelper
