#include "ConsoleHelper/Printable.h"

namespace ConsoleHelper
{
namespace
{
constexpr wchar_t replacement = 0xFFFD;

bool IsHighSurrogate(unsigned long c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(unsigned long c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

bool Allowed(unsigned long c)
{
    if (c < 0x20)
        return c == L'\t';
    if (c >= 0x7F && c <= 0x9F)
        return false;
    return c < 0xD800 || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}
} // namespace

std::wstring Printable(const std::wstring& text)
{
    std::wstring result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const unsigned long c =
            static_cast<unsigned long>(text[i]) & (sizeof(wchar_t) == 2 ? 0xFFFFul : 0xFFFFFFFFul);
        // Where wide text is UTF-16, a character beyond the basic plane is a pair of surrogates.
        if (sizeof(wchar_t) == 2 && IsHighSurrogate(c) && i + 1 < text.size() &&
            IsLowSurrogate(static_cast<unsigned long>(text[i + 1]) & 0xFFFFul))
        {
            result += text[i];
            result += text[++i];
            continue;
        }
        result += Allowed(c) ? text[i] : replacement;
    }
    return result;
}
} // namespace ConsoleHelper
