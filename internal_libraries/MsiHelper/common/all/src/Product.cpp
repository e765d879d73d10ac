#include "MsiHelper/Product.h"
#include "MsiHelper/Detail/Installer.h"

#include <boost/make_shared.hpp>
#include <cwchar>
#include <vector>

namespace MsiHelper
{
Product::Product(const wchar_t (&productCode)[CodeLength])
{
    std::wmemcpy(code, productCode, CodeLength);
    code[CodeLength - 1] = L'\0';
}

boost::shared_ptr<Product> Product::FindByName(const std::wstring& productName)
{
    wchar_t buffer[CodeLength] = {};
    // Every result but success ends the enumeration: past the last product, or a database
    // that cannot be read.
    for (std::uint32_t index = 0; Detail::EnumProducts(index, buffer) == Detail::InstallerSuccess;
         ++index)
    {
        const Product candidate(buffer);
        if (candidate.GetProperty(L"ProductName") == productName)
            return boost::make_shared<Product>(buffer);
    }
    return {};
}

std::wstring Product::GetProperty(const std::wstring& name) const
{
    // Only the length and the buffer decide; an unknown property reports length 0.
    std::uint32_t length = 0;
    Detail::GetProductInfo(code, name.c_str(), nullptr, &length);
    if (length == 0)
        return {};
    std::vector<wchar_t> value(std::size_t(length) + 1, L'\0');
    std::uint32_t size = length + 1;
    Detail::GetProductInfo(code, name.c_str(), value.data(), &size);
    value.back() = L'\0';
    return std::wstring(value.data());
}

FourPartVersion Product::GetVersion() const
{
    return FourPartVersion(GetProperty(L"VersionString"));
}
} // namespace MsiHelper
