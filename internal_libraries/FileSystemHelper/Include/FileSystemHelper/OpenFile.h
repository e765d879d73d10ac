#pragma once

#include <cstdio>
#include <string>

namespace FileSystemHelper
{
// Opens a file by its wide path with an fopen mode ("rb", "wb", ...). Null when it cannot be
// opened; the caller closes the file with fclose.
std::FILE* OpenFile(const std::wstring& path, const wchar_t* mode);
} // namespace FileSystemHelper
