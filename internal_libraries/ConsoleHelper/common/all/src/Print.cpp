#include "ConsoleHelper/Console.h"
#include "ConsoleHelper/Printable.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <iostream>
#include <string>
#include <type_traits>
#include <vector>

namespace ConsoleHelper
{
namespace
{
// Formats with the C runtime, growing the buffer until the text fits; empty when it cannot be
// formatted.
std::wstring FormatArguments(const wchar_t* format, va_list arguments)
{
    std::vector<wchar_t> text(256);
    for (;;)
    {
        va_list attempt;
        va_copy(attempt, arguments);
        const int length = std::vswprintf(text.data(), text.size(), format, attempt);
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

// One conversion, formatted alone.
std::wstring FormatOne(const wchar_t* conversion, ...)
{
    va_list arguments;
    va_start(arguments, conversion);
    std::wstring text = FormatArguments(conversion, arguments);
    va_end(arguments);
    return text;
}

// A wide character argument as it arrives: where wint_t is narrower than int (UTF-16
// platforms) it was promoted to int.
using PromotedWideCharacter =
    std::conditional_t<(sizeof(std::wint_t) < sizeof(int)), int, std::wint_t>;

enum class Length
{
    Default,
    Char,
    Short,
    Long,
    LongLong,
    IntMax,
    Size,
    PtrDiff,
    LongDouble,
};

// Reads a length modifier, the C99 ones and those of the Windows runtime (I, I32, I64, w).
Length ReadLength(const wchar_t*& p)
{
    switch (*p)
    {
    case L'h':
        ++p;
        if (*p == L'h')
        {
            ++p;
            return Length::Char;
        }
        return Length::Short;
    case L'l':
        ++p;
        if (*p == L'l')
        {
            ++p;
            return Length::LongLong;
        }
        return Length::Long;
    case L'q':
        ++p;
        return Length::LongLong;
    case L'L':
        ++p;
        return Length::LongDouble;
    case L'j':
        ++p;
        return Length::IntMax;
    case L'z':
        ++p;
        return Length::Size;
    case L't':
        ++p;
        return Length::PtrDiff;
    case L'w':
        ++p;
        return Length::Long;
    case L'I':
        ++p;
        if (p[0] == L'6' && p[1] == L'4')
        {
            p += 2;
            return Length::LongLong;
        }
        if (p[0] == L'3' && p[1] == L'2')
        {
            p += 2;
            return Length::Default;
        }
        return Length::Size;
    default:
        return Length::Default;
    }
}

long long SignedArgument(Length length, va_list& arguments)
{
    switch (length)
    {
    case Length::Char:
        return static_cast<signed char>(va_arg(arguments, int));
    case Length::Short:
        return static_cast<short>(va_arg(arguments, int));
    case Length::Long:
        return va_arg(arguments, long);
    case Length::LongLong:
        return va_arg(arguments, long long);
    case Length::IntMax:
        return va_arg(arguments, std::intmax_t);
    case Length::Size:
    case Length::PtrDiff:
        return va_arg(arguments, std::ptrdiff_t);
    default:
        return va_arg(arguments, int);
    }
}

unsigned long long UnsignedArgument(Length length, va_list& arguments)
{
    switch (length)
    {
    case Length::Char:
        return static_cast<unsigned char>(va_arg(arguments, unsigned int));
    case Length::Short:
        return static_cast<unsigned short>(va_arg(arguments, unsigned int));
    case Length::Long:
        return va_arg(arguments, unsigned long);
    case Length::LongLong:
        return va_arg(arguments, unsigned long long);
    case Length::IntMax:
        return va_arg(arguments, std::uintmax_t);
    case Length::Size:
    case Length::PtrDiff:
        return va_arg(arguments, std::size_t);
    default:
        return va_arg(arguments, unsigned int);
    }
}

// The formatted text, with the program's meaning of %s and %c (a wide string and a wide
// character; %hs and %hc are narrow ones). The format's own text is written as it is; what a
// string or character conversion substitutes goes through Printable, so a value can neither
// start a line nor send the terminal a control sequence. Each conversion is formatted alone by
// the C runtime, with its flags, width and precision.
std::wstring Format(const wchar_t* format, va_list& arguments)
{
    std::wstring result;
    const wchar_t* p = format;
    while (*p)
    {
        if (*p != L'%')
        {
            result += *p++;
            continue;
        }
        const wchar_t* const start = p++;
        if (*p == L'%')
        {
            result += *p++;
            continue;
        }
        std::wstring directive = L"%";
        while (*p && std::wcschr(L"-+ #0", *p))
            directive += *p++;
        const auto readNumber = [&](bool precision)
        {
            if (*p == L'*')
            {
                ++p;
                const int value = va_arg(arguments, int);
                if (precision && value < 0)
                    directive.pop_back(); // a negative precision counts as none
                else
                    directive += std::to_wstring(value);
                return;
            }
            while (*p >= L'0' && *p <= L'9')
                directive += *p++;
        };
        readNumber(false);
        if (*p == L'.')
        {
            directive += *p++;
            readNumber(true);
        }
        const Length length = ReadLength(p);
        if (!*p)
        {
            result.append(start, p);
            break;
        }
        const wchar_t conversion = *p++;
        switch (conversion)
        {
        case L'd':
        case L'i':
            result += FormatOne((directive + L"lld").c_str(), SignedArgument(length, arguments));
            break;
        case L'u':
        case L'o':
        case L'x':
        case L'X':
            result += FormatOne((directive + L"ll" + conversion).c_str(),
                                UnsignedArgument(length, arguments));
            break;
        case L'f':
        case L'F':
        case L'e':
        case L'E':
        case L'g':
        case L'G':
        case L'a':
        case L'A':
            if (length == Length::LongDouble)
                result += FormatOne((directive + L"L" + conversion).c_str(),
                                    va_arg(arguments, long double));
            else
                result += FormatOne((directive + conversion).c_str(), va_arg(arguments, double));
            break;
        case L'c':
        {
            const wchar_t character =
                length == Length::Short
                    ? static_cast<wchar_t>(static_cast<unsigned char>(va_arg(arguments, int)))
                    : static_cast<wchar_t>(va_arg(arguments, PromotedWideCharacter));
            const std::wstring text = Printable(std::wstring(1, character));
            result += FormatOne((directive + L"ls").c_str(), text.c_str());
            break;
        }
        case L's':
        {
            std::wstring text;
            if (length == Length::Short)
            {
                // Narrow text is widened character by character, as a wide stream does.
                const char* narrow = va_arg(arguments, const char*);
                for (const char* c = narrow ? narrow : "(null)"; *c; ++c)
                    text += static_cast<wchar_t>(static_cast<unsigned char>(*c));
            }
            else
            {
                const wchar_t* wide = va_arg(arguments, const wchar_t*);
                text = wide ? wide : L"(null)";
            }
            text = Printable(text);
            result += FormatOne((directive + L"ls").c_str(), text.c_str());
            break;
        }
        case L'p':
            result += FormatOne((directive + L"p").c_str(), va_arg(arguments, void*));
            break;
        case L'n':
            static_cast<void>(va_arg(arguments, void*)); // counts nothing
            break;
        default:
            result.append(start, p); // not a conversion: written as it stands
            break;
        }
    }
    return result;
}
} // namespace

// Narrow and formatted text go through the same writers as everywhere else: std::cout, and the
// platform's wide stream.
std::ostream& Out()
{
    return std::cout;
}

namespace
{
void WriteFormatted(std::wostream& out, const wchar_t* format, va_list& arguments)
{
    const std::wstring text = Format(format, arguments);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}
} // namespace

void Print(const wchar_t* format, ...)
{
    if (!format)
        return;
    va_list arguments;
    va_start(arguments, format);
    WriteFormatted(WideOut(), format, arguments);
    va_end(arguments);
}

void PrintTo(std::wostream& out, const wchar_t* format, ...)
{
    if (!format)
        return;
    va_list arguments;
    va_start(arguments, format);
    WriteFormatted(out, format, arguments);
    va_end(arguments);
}
} // namespace ConsoleHelper
