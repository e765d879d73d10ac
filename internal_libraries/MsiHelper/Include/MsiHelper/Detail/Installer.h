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
