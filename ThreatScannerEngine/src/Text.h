#pragma once

#include <string>

namespace ThreatScannerEngine
{
// Converts a wide string (UTF-32 where wchar_t is 32-bit, UTF-16 where it is 16-bit) to UTF-8.
// Returns false for text that is not valid Unicode.
bool ToUtf8(const wchar_t* text, std::string& result);

// Converts UTF-8 to a wide string for display. Bytes that are not valid UTF-8 become U+FFFD,
// so a file name the system allows but Unicode does not still shows up.
std::wstring ToWide(const std::string& text);
} // namespace ThreatScannerEngine
