#pragma once

#include <cstdint>
#include <string>

// The two queries of the installer database that Product builds on, with the installer's own
// result codes.
namespace MsiHelper::Detail
{
enum : std::uint32_t
{
    InstallerSuccess = 0,
    InstallerNoMoreItems = 259,
    InstallerUnknownProduct = 1605,
    InstallerUnknownProperty = 1608,
    InstallerBadConfiguration = 1610,
};

// Product code of the index-th installed product into code (39 wide characters). Returns
// InstallerNoMoreItems past the last product, another non-zero code when the database cannot be
// read.
std::uint32_t EnumProducts(std::uint32_t index, wchar_t* code);

// A property of a product. With a null buffer only length is set, to the value's length in
// characters; otherwise up to *length - 1 characters and a terminator are copied and *length is
// set to the value's length. On failure *length is 0.
std::uint32_t GetProductInfo(const wchar_t* code, const wchar_t* property, wchar_t* buffer,
                             std::uint32_t* length);
} // namespace MsiHelper::Detail

#ifndef _WIN32
#include <boost/filesystem/path.hpp>
#include <utility>
#include <vector>

// Without a system installer database each installed product is one record file in the folder
// ProductRecordsFolder(): the file name is the product code in braces followed by ".product"
// ("{6E1D3C52-8B0F-4F5A-9C3E-2A7B41D09F63}.product"), the content UTF-8 lines of the form
// Property=Value (for example ProductName=... and VersionString=12.7.1093). The first "=" of a
// line ends the property name, the first line of a property counts, other lines are ignored.
// Products are listed in the order of their file names; files of other names are skipped.
namespace MsiHelper::Detail
{
// CommonAppData/Installer/Products.
boost::filesystem::path ProductRecordsFolder();

// Writes (or replaces) the record of a product; throws ExceptionHelper::Exception
// "Couldn't write product record" when it cannot be written.
void RegisterProduct(const std::wstring& code,
                     const std::vector<std::pair<std::wstring, std::wstring>>& properties);
} // namespace MsiHelper::Detail
#endif
