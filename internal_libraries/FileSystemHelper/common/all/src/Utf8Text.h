#pragma once

#include <string>

namespace FileSystemHelper::Detail
{
// Lossless UTF-8 <-> wide text for file names and arguments, which are byte strings on Linux
// and may be ill-formed UTF-16 on Windows.
//
// Where wchar_t is 32-bit, a byte that is not part of valid UTF-8 becomes the lone surrogate
// U+DC80..U+DCFF of its value, and turns back into the same byte, so every byte string
// round-trips. Where wchar_t is 16-bit, a lone surrogate is written as the three bytes its code
// would take and read back as the same code unit, so every UTF-16 string round-trips; bytes that
// are not valid there still become U+DC80..U+DCFF.
std::wstring DecodeUtf8(const std::string& text);

// Fails (false) only where wchar_t is 32-bit, for a value above U+10FFFF or a surrogate outside
// U+DC80..U+DCFF: no byte string gives those.
bool EncodeUtf8(const std::wstring& text, std::string& result);
} // namespace FileSystemHelper::Detail
