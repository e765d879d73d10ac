#include "Utf8Text.h"

#include <cstdint>
#include <type_traits>

namespace FileSystemHelper::Detail
{
namespace
{
constexpr bool wideIsUtf16 = sizeof(wchar_t) == 2;

bool IsSurrogate(char32_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

bool IsContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

void AppendWide(char32_t c, std::wstring& out)
{
    if (wideIsUtf16 && c >= 0x10000)
    {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (c >> 10));
        out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        return;
    }
    out += static_cast<wchar_t>(c);
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

// Decodes the sequence at text[i] into c and returns its length, or 0 when it is not a valid
// shortest-form sequence. Surrogate codes are valid only where wide text is UTF-16.
std::size_t Decode(const std::string& text, std::size_t i, char32_t& c)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80)
    {
        c = lead;
        return 1;
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
        return 0;
    if (text.size() - i < length)
        return 0;
    for (std::size_t k = 1; k < length; ++k)
    {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if (!IsContinuation(next))
            return 0;
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (IsSurrogate(c) && !wideIsUtf16))
        return 0;
    return length;
}
} // namespace

std::wstring DecodeUtf8(const std::string& text)
{
    std::wstring result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();)
    {
        char32_t c = 0;
        const std::size_t length = Decode(text, i, c);
        if (length == 0)
        {
            result += static_cast<wchar_t>(0xDC00 + static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        AppendWide(c, result);
        i += length;
    }
    return result;
}

bool EncodeUtf8(const std::wstring& text, std::string& result)
{
    result.clear();
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        auto c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i]));
        if (wideIsUtf16)
        {
            // A pair is one character; a lone surrogate keeps its own three-byte form.
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF)
            {
                c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
                ++i;
            }
            AppendUtf8(c, result);
            continue;
        }
        if (c >= 0xDC80 && c <= 0xDCFF)
        {
            result += static_cast<char>(c - 0xDC00);
            continue;
        }
        if (c > 0x10FFFF || IsSurrogate(c))
            return false;
        AppendUtf8(c, result);
    }
    return true;
}
} // namespace FileSystemHelper::Detail
