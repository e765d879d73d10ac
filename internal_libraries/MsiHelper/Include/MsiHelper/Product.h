#pragma once

#include "MsiHelper/FourPartVersion.h"

#include <boost/shared_ptr.hpp>
#include <string>

namespace MsiHelper
{
// One installed product of the installer database, known by its product code.
class Product
{
public:
    // A product code in braces (38 characters) and its terminator.
    static constexpr std::size_t CodeLength = 39;

    // The first installed product whose name equals productName exactly (case-sensitive); null
    // when there is none or the database cannot be read.
    static boost::shared_ptr<Product> FindByName(const std::wstring& productName);

    // A property of the product ("ProductName", "VersionString", ...); empty when the property
    // is missing or empty.
    std::wstring GetProperty(const std::wstring& name) const;

    // The product's VersionString read as a four-part version (0.0.0.0 when missing).
    FourPartVersion GetVersion() const;

    const wchar_t* Code() const { return code; }

    // Made by FindByName only; public so that boost::make_shared can reach it.
    explicit Product(const wchar_t (&productCode)[CodeLength]);

private:
    wchar_t code[CodeLength] = {};
};
} // namespace MsiHelper
