#include "FileSystemHelper/OpenFile.h"

#include <stdio.h>

namespace FileSystemHelper
{
std::FILE* OpenFile(const std::wstring& path, const wchar_t* mode)
{
    if (path.empty() || !mode)
        return nullptr;
    return ::_wfopen(path.c_str(), mode);
}
} // namespace FileSystemHelper
