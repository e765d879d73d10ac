#include "MsiHelper/FourPartVersion.h"

#include <cwctype>

namespace MsiHelper
{
namespace
{
bool IsSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsSpace(wchar_t c)
{
    return std::iswspace(static_cast<wint_t>(c)) != 0;
}

template <typename Char> std::uint64_t Parse(const std::basic_string<Char>& text)
{
    const std::uint32_t maxPart = 0xFFFF;
    std::uint64_t result = 0;
    std::size_t position = 0;
    for (int part = 0; part < 4; ++part)
    {
        if (part > 0)
        {
            // Exactly one separator character, whatever it is.
            while (position < text.size() && IsSpace(text[position]))
                ++position;
            if (position == text.size())
                break;
            ++position;
        }
        while (position < text.size() && IsSpace(text[position]))
            ++position;
        std::uint32_t number = 0;
        std::size_t digits = 0;
        while (position < text.size() && text[position] >= Char('0') && text[position] <= Char('9'))
        {
            number = number * 10 + static_cast<std::uint32_t>(text[position] - Char('0'));
            ++position;
            ++digits;
            if (number > maxPart)
                break;
        }
        // A part without digits or too large for 16 bits ends the reading; it and the parts
        // after it stay 0.
        if (digits == 0 || number > maxPart)
            break;
        result |= std::uint64_t(number) << (16 * (3 - part));
    }
    return result;
}
} // namespace

FourPartVersion::FourPartVersion(std::uint16_t major, std::uint16_t minor, std::uint16_t build,
                                 std::uint16_t revision)
    : value(std::uint64_t(major) << 48 | std::uint64_t(minor) << 32 | std::uint64_t(build) << 16 |
            revision)
{
}

FourPartVersion::FourPartVersion(const std::string& text) : value(Parse(text)) {}

FourPartVersion::FourPartVersion(const std::wstring& text) : value(Parse(text)) {}

std::string FourPartVersion::ToString() const
{
    return std::to_string(Major()) + "." + std::to_string(Minor()) + "." + std::to_string(Build()) +
           "." + std::to_string(Revision());
}

std::wstring FourPartVersion::ToWideString() const
{
    const std::string text = ToString();
    return std::wstring(text.begin(), text.end());
}
} // namespace MsiHelper
