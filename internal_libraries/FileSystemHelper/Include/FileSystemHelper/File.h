#pragma once

// FileHandle, the platform's handle of an open file, comes with the platform half.
#include "FileSystemHelper/FileHandle.h"

#include <cstddef>
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

    // Writes all size bytes at the file's position, in as many writes as the system takes (an
    // interrupted write goes on). False when a write fails or writes nothing; part of the bytes
    // may then be written.
    static bool WriteAll(FileHandle handle, const char* data, std::size_t size);

    // The same at the given offset from the file's start; where the file's position is afterwards
    // differs between platforms.
    static bool WriteAllAt(FileHandle handle, const char* data, std::size_t size,
                           std::uint64_t offset);
};
} // namespace FileSystemHelper
