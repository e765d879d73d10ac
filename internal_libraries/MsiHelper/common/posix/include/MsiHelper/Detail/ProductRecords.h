#pragma once

#include <boost/filesystem/path.hpp>

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
} // namespace MsiHelper::Detail
