#include "FileSystemHelper/Text.h"

#include <climits>
#include <windows.h>

namespace FileSystemHelper
{
namespace
{
// Invalid UTF-8, or UTF-16 with a lone surrogate, fails the conversion instead of turning into
// replacement characters, so that a damaged path or name never passes for a different one.
// Other code pages convert as the platform maps them (unmapped characters become its default
// character).
DWORD ToWideFlags(unsigned int codePage)
{
    return codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
}

DWORD ToNarrowFlags(unsigned int codePage)
{
    return codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0;
}
} // namespace

std::wstring ToWide(const std::string& text, unsigned int codePage)
{
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const int inputLength = static_cast<int>(text.size());
    const DWORD flags = ToWideFlags(codePage);
    const int length = ::MultiByteToWideChar(codePage, flags, text.data(), inputLength, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    if (::MultiByteToWideChar(codePage, flags, text.data(), inputLength, &result[0], length) !=
        length)
        return {};
    return result;
}

std::string ToNarrow(const std::wstring& text, unsigned int codePage)
{
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const int inputLength = static_cast<int>(text.size());
    const DWORD flags = ToNarrowFlags(codePage);
    const int length = ::WideCharToMultiByte(codePage, flags, text.data(), inputLength, nullptr, 0,
                                             nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string result(static_cast<std::size_t>(length), '\0');
    if (::WideCharToMultiByte(codePage, flags, text.data(), inputLength, &result[0], length,
                              nullptr, nullptr) != length)
        return {};
    return result;
}

// Paths are UTF-16 here, as the platform keeps them.
std::wstring WidePath(const boost::filesystem::path& path)
{
    return path.wstring();
}

boost::filesystem::path PathFromWide(const std::wstring& path)
{
    return boost::filesystem::path(path);
}
} // namespace FileSystemHelper
