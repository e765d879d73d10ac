#include "ProductRecords.h"

#include "ExceptionHelper/Exception.h"
#include "FileSystemHelper/Text.h"
#include "MsiHelper/Detail/ProductRecords.h"

#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <regex>

namespace CorvaneTest
{
void RegisterProduct(const std::wstring& code,
                     const std::vector<std::pair<std::wstring, std::wstring>>& properties)
{
    const std::string narrowCode = FileSystemHelper::ToNarrow(code, FileSystemHelper::CodePageUtf8);
    static const std::regex productCode(
        "\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}");
    if (!std::regex_match(narrowCode, productCode))
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't write product record"));
    const boost::filesystem::path folder = MsiHelper::Detail::ProductRecordsFolder();
    boost::system::error_code error;
    boost::filesystem::create_directories(folder, error);
    std::ofstream file((folder / (narrowCode + ".product")).string(),
                       std::ios::binary | std::ios::trunc);
    for (const auto& [name, value] : properties)
        file << FileSystemHelper::ToNarrow(name, FileSystemHelper::CodePageUtf8) << '='
             << FileSystemHelper::ToNarrow(value, FileSystemHelper::CodePageUtf8) << '\n';
    file.flush();
    if (!file)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't write product record"));
}
} // namespace CorvaneTest
