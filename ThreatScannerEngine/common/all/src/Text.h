#pragma once

#include "FileSystemHelper/Text.h"

#include <string>

namespace ThreatScannerEngine
{
// A wide path or name from the program as the bytes it stands for, through the same lossless
// conversion the program uses. Returns false for text that stands for no byte string.
inline bool ToUtf8(const wchar_t* text, std::string& result)
{
    result.clear();
    if (!text)
        return false;
    const std::wstring wide(text);
    result = FileSystemHelper::ToNarrow(wide, FileSystemHelper::CodePageUtf8);
    return !result.empty() || wide.empty();
}

// Bytes (a path, a member name) as wide text for the program: bytes that are not UTF-8 come back
// as the same bytes when the program converts the text back, so a reported path names exactly
// the file that was scanned.
inline std::wstring ToWide(const std::string& text)
{
    return FileSystemHelper::ToWide(text, FileSystemHelper::CodePageUtf8);
}
} // namespace ThreatScannerEngine
