#include "ConsoleHelper/Detail/Format.h"

#include <cstddef>
#include <cwchar>
#include <vector>

namespace ConsoleHelper
{
namespace Detail
{
std::wstring WideConversions(const wchar_t* format)
{
    std::wstring result;
    for (const wchar_t* p = format; *p; ++p)
    {
        result += *p;
        if (*p != L'%')
            continue;
        ++p;
        if (*p == L'%')
        {
            result += *p;
            continue;
        }
        bool lengthGiven = false;
        while (*p && std::wcschr(L"-+ #0123456789.*hlLqjztIw", *p))
        {
            lengthGiven = lengthGiven || std::wcschr(L"hlLqjztIw", *p);
            result += *p++;
        }
        if (!*p)
            break;
        if ((*p == L's' || *p == L'c') && !lengthGiven)
            result += L'l';
        result += *p;
    }
    return result;
}

std::wstring Format(const wchar_t* format, va_list arguments)
{
    const std::wstring converted = WideConversions(format);
    std::vector<wchar_t> text(256);
    for (;;)
    {
        va_list attempt;
        va_copy(attempt, arguments);
        const int length = std::vswprintf(text.data(), text.size(), converted.c_str(), attempt);
        va_end(attempt);
        // Depending on the runtime, text that does not fit gives -1 or the length it needs; -1
        // may also be an encoding error that no size mends, hence the limit.
        if (length >= 0 && static_cast<std::size_t>(length) < text.size())
            return std::wstring(text.data(), static_cast<std::size_t>(length));
        if (text.size() >= (std::size_t(1) << 24))
            return {};
        text.resize(length > 0 ? static_cast<std::size_t>(length) + 1 : text.size() * 4);
    }
}
} // namespace Detail
} // namespace ConsoleHelper
