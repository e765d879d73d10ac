#include "Text.h"

#include <cstdint>

namespace ThreatScannerEngine
{
namespace
{
constexpr char32_t replacement = 0xFFFD;

bool IsSurrogate(char32_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

void AppendUtf8(char32_t c, std::string& out)
{
    if (c < 0x80)
        out += static_cast<char>(c);
    else if (c < 0x800)
    {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    else if (c < 0x10000)
    {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendWide(char32_t c, std::wstring& out)
{
    if constexpr (sizeof(wchar_t) == 2)
    {
        if (c >= 0x10000)
        {
            c -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (c >> 10));
            out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(c);
}

// Decodes one UTF-8 sequence at text[i]; advances i past it. Returns U+FFFD (advancing one byte)
// for anything malformed: stray continuation bytes, overlong forms, surrogates, truncation.
char32_t DecodeUtf8(const std::string& text, std::size_t& i)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (lead < 0x80)
    {
        ++i;
        return lead;
    }
    if ((lead & 0xE0) == 0xC0)
    {
        length = 2;
        c = lead & 0x1F;
        minimum = 0x80;
    }
    else if ((lead & 0xF0) == 0xE0)
    {
        length = 3;
        c = lead & 0x0F;
        minimum = 0x800;
    }
    else if ((lead & 0xF8) == 0xF0)
    {
        length = 4;
        c = lead & 0x07;
        minimum = 0x10000;
    }
    else
    {
        ++i;
        return replacement;
    }
    if (i + length > text.size())
    {
        ++i;
        return replacement;
    }
    for (std::size_t k = 1; k < length; ++k)
    {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
        {
            ++i;
            return replacement;
        }
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || IsSurrogate(c))
    {
        ++i;
        return replacement;
    }
    i += length;
    return c;
}
} // namespace

bool ToUtf8(const wchar_t* text, std::string& result)
{
    result.clear();
    if (!text)
        return false;
    for (const wchar_t* p = text; *p; ++p)
    {
        auto c = static_cast<char32_t>(*p);
        if constexpr (sizeof(wchar_t) == 2)
        {
            if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF)
            {
                c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(p[1]) - 0xDC00);
                ++p;
            }
        }
        if (c > 0x10FFFF || IsSurrogate(c))
            return false;
        AppendUtf8(c, result);
    }
    return true;
}

std::wstring ToWide(const std::string& text)
{
    std::wstring result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();)
        AppendWide(DecodeUtf8(text, i), result);
    return result;
}
} // namespace ThreatScannerEngine
