#include "DefinitionsSet/DefinitionsSet.h"

#include <windows.h>

namespace DefinitionsSet
{
namespace
{
std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                             static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                              static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string Utf8(const wchar_t* text)
{
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return {};
    std::string narrow(static_cast<std::size_t>(length - 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), length, nullptr, nullptr);
    return narrow;
}
} // namespace

std::vector<std::string> FilesToLoad(const std::string& folder)
{
    // libclamav's own folder loader skips every entry on Windows (its port reads no file ids
    // from a folder listing), so the files are handed to it one by one, in its order. Links and
    // reparse points are not followed.
    const std::wstring pattern = Wide(folder);
    if (pattern.empty())
        return {};
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry{};
    HANDLE search = ::FindFirstFileExW((pattern + L"\\*").c_str(), FindExInfoBasic, &entry,
                                       FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return {};
    do
    {
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        names.push_back(Utf8(entry.cFileName));
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    std::vector<std::string> files;
    const std::string base =
        !folder.empty() && (folder.back() == '\\' || folder.back() == '/') ? folder : folder + "\\";
    for (const std::string& name : LoadOrder(std::move(names)))
        files.push_back(base + name);
    // A readable folder without definitions loads nothing; the engine finds no signature then.
    if (files.empty())
        files.push_back(folder);
    return files;
}
} // namespace DefinitionsSet
