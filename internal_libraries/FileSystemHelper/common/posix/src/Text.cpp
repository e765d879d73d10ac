#include "FileSystemHelper/Text.h"

#include <boost/locale/encoding_utf.hpp>

namespace FileSystemHelper
{
// Both code pages mean UTF-8 here. Invalid input (bad UTF-8, or a wide value that is not a
// Unicode scalar) gives the empty result of a failed conversion.
std::wstring ToWide(const std::string& text, unsigned int /*codePage*/)
{
    if (text.empty())
        return {};
    try
    {
        return boost::locale::conv::utf_to_utf<wchar_t>(text, boost::locale::conv::stop);
    }
    catch (const boost::locale::conv::conversion_error&)
    {
        return {};
    }
}

std::string ToNarrow(const std::wstring& text, unsigned int /*codePage*/)
{
    if (text.empty())
        return {};
    for (const wchar_t c : text)
    {
        const auto value = static_cast<std::uint32_t>(c);
        if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return {};
    }
    try
    {
        return boost::locale::conv::utf_to_utf<char>(text, boost::locale::conv::stop);
    }
    catch (const boost::locale::conv::conversion_error&)
    {
        return {};
    }
}
} // namespace FileSystemHelper

namespace FileSystemHelper
{
std::wstring WidePath(const boost::filesystem::path& path)
{
    return boost::locale::conv::utf_to_utf<wchar_t>(path.string());
}

boost::filesystem::path PathFromWide(const std::wstring& path)
{
    return boost::filesystem::path(boost::locale::conv::utf_to_utf<char>(path));
}
} // namespace FileSystemHelper
