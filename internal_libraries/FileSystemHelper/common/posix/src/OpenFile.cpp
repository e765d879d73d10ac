#include "FileSystemHelper/OpenFile.h"
#include "FileSystemHelper/Text.h"

namespace FileSystemHelper
{
// Paths are UTF-8 bytes here; modes are plain ASCII.
std::FILE* OpenFile(const std::wstring& path, const wchar_t* mode)
{
    if (path.empty() || !mode)
        return nullptr;
    const std::string narrowPath = PathFromWide(path).string();
    const std::string narrowMode = ToNarrow(mode, CodePageUtf8);
    return std::fopen(narrowPath.c_str(), narrowMode.c_str());
}
} // namespace FileSystemHelper
