#include "FileSystemHelper/Text.h"

#include "../../all/src/Utf8Text.h"

#include <climits>
#include <windows.h>

namespace FileSystemHelper
{
namespace
{
constexpr DWORD flags = 0;
} // namespace

// UTF-8 converts losslessly: a wide name that is not valid UTF-16 (a lone surrogate) keeps its
// own three-byte form and comes back as the same name, never as a different one. Other code
// pages convert as the platform maps them (unmapped characters become its default character).
std::wstring ToWide(const std::string& text, unsigned int codePage)
{
    if (codePage == CP_UTF8)
        return Detail::DecodeUtf8(text);
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const int inputLength = static_cast<int>(text.size());
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
    if (codePage == CP_UTF8)
    {
        std::string result;
        Detail::EncodeUtf8(text, result);
        return result;
    }
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const int inputLength = static_cast<int>(text.size());
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
