#pragma once

// FileHandle, the platform's handle of an open file, comes with the platform half.
#include "FileSystemHelper/FileHandle.h"

#include <cstdint>
#include <string>
#include <vector>

namespace FileSystemHelper
{

class File
{
public:
    // Size in bytes of an open file. Throws ExceptionHelper::Windows "Couldn't get file size".
    static std::int64_t GetSize(FileHandle handle);

    // Reads the whole file into data. False, with data unchanged, when the file cannot be
    // opened or mapped (an empty file cannot be mapped) or is not a regular file; a FIFO is
    // never waited for.
    static bool Read(const std::wstring& path, std::vector<char>& data);
};
} // namespace FileSystemHelper
