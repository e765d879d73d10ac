#include "MsiHelper/Detail/Installer.h"
#include "MsiHelper/Detail/ProductRecords.h"

#include "ExceptionHelper/Exception.h"
#include "FileSystemHelper/Text.h"
#include "PathHelper/KnownFolders.h"

#include <algorithm>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <cctype>
#include <fstream>
#include <map>
#include <optional>

namespace fs = boost::filesystem;

namespace MsiHelper::Detail
{
namespace
{
const char* const recordExtension = ".product";

// "{" 8-4-4-4-12 hexadecimal digits "}".
bool IsProductCode(const std::string& text)
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    for (std::size_t i = 1; i < 37; ++i)
    {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// The product codes of all records, in file name order. Empty when there is no folder;
// nullopt when the folder cannot be read.
std::optional<std::vector<std::string>> ProductCodes()
{
    std::vector<std::string> codes;
    boost::system::error_code error;
    const fs::path folder = ProductRecordsFolder();
    if (!fs::exists(folder, error))
        return error ? std::nullopt : std::optional(codes);
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error))
    {
        const fs::path& path = entry->path();
        if (path.extension() == recordExtension && IsProductCode(path.stem().string()) &&
            fs::is_regular_file(entry->status()))
            codes.push_back(path.stem().string());
    }
    if (error)
        return std::nullopt;
    std::sort(codes.begin(), codes.end());
    return codes;
}

// The properties of one record; nullopt when there is no such record.
std::optional<std::map<std::wstring, std::wstring>> ReadRecord(const std::wstring& code)
{
    const std::string narrowCode = FileSystemHelper::ToNarrow(code, FileSystemHelper::CodePageUtf8);
    if (!IsProductCode(narrowCode))
        return std::nullopt;
    std::ifstream file((ProductRecordsFolder() / (narrowCode + recordExtension)).string(),
                       std::ios::binary);
    if (!file)
        return std::nullopt;
    std::map<std::wstring, std::wstring> properties;
    std::string line;
    while (std::getline(file, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0)
            continue;
        properties.emplace(
            FileSystemHelper::ToWide(line.substr(0, equals), FileSystemHelper::CodePageUtf8),
            FileSystemHelper::ToWide(line.substr(equals + 1), FileSystemHelper::CodePageUtf8));
    }
    return properties;
}
} // namespace

fs::path ProductRecordsFolder()
{
    return PathHelper::Special::FolderPath(PathHelper::Special::CommonAppData, nullptr) /
           "Installer" / "Products";
}

std::uint32_t EnumProducts(std::uint32_t index, wchar_t* code)
{
    try
    {
        const auto codes = ProductCodes();
        if (!codes)
            return InstallerBadConfiguration;
        if (index >= codes->size())
            return InstallerNoMoreItems;
        const std::string& found = (*codes)[index];
        std::copy(found.begin(), found.end(), code);
        code[found.size()] = L'\0';
        return InstallerSuccess;
    }
    catch (...)
    {
        return InstallerBadConfiguration;
    }
}

std::uint32_t GetProductInfo(const wchar_t* code, const wchar_t* property, wchar_t* buffer,
                             std::uint32_t* length)
{
    try
    {
        const auto properties = ReadRecord(code);
        if (!properties)
        {
            *length = 0;
            return InstallerUnknownProduct;
        }
        const auto found = properties->find(property);
        if (found == properties->end())
        {
            *length = 0;
            return InstallerUnknownProperty;
        }
        const std::wstring& value = found->second;
        if (buffer && *length > 0)
        {
            const std::size_t count = std::min<std::size_t>(value.size(), *length - 1);
            std::copy_n(value.begin(), count, buffer);
            buffer[count] = L'\0';
        }
        *length = static_cast<std::uint32_t>(value.size());
        return InstallerSuccess;
    }
    catch (...)
    {
        *length = 0;
        return InstallerBadConfiguration;
    }
}

} // namespace MsiHelper::Detail
