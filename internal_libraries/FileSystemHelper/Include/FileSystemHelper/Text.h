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

// Narrow to wide and back in the given code page. Empty input, or input that does not convert,
// gives an empty result. Embedded NULs pass through.
std::wstring ToWide(const std::string& text, unsigned int codePage);
std::string ToNarrow(const std::wstring& text, unsigned int codePage);
} // namespace FileSystemHelper

#include <boost/filesystem/path.hpp>

namespace FileSystemHelper
{
// A file-system path as wide text and back, in the platform's own path encoding (UTF-16 on
// Windows, UTF-8 bytes on Linux), so that any path the platform accepts round-trips.
std::wstring WidePath(const boost::filesystem::path& path);
boost::filesystem::path PathFromWide(const std::wstring& path);
} // namespace FileSystemHelper
