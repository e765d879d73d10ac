#include "ConsoleHelper/Console.h"

#include <cstdarg>
#include <cstddef>
#include <cwchar>
#include <iostream>
#include <string>
#include <vector>

namespace ConsoleHelper
{
namespace
{
// The program's formats use %s and %c for a wide string and a wide character. The C runtimes
// here format in the C99 manner, where they mean narrow ones, so each is given the l length that
// means wide under every reading.
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

// The formatted text, with the program's meaning of %s and %c; empty when it cannot be formatted.
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
} // namespace

// Narrow and formatted text go through the same writers as everywhere else: std::cout, and the
// platform's wide stream.
std::ostream& Out()
{
    return std::cout;
}

void Print(const wchar_t* format, ...)
{
    if (!format)
        return;
    va_list arguments;
    va_start(arguments, format);
    const std::wstring text = Format(format, arguments);
    va_end(arguments);
    WideOut().write(text.data(), static_cast<std::streamsize>(text.size()));
}
} // namespace ConsoleHelper
