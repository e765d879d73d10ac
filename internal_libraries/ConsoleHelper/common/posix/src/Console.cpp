#include "ConsoleHelper/Console.h"

#include <boost/locale/encoding_utf.hpp>
#include <cstdarg>
#include <cwchar>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

// A stream cannot be byte- and wide-oriented at once on this C library, so every piece of text
// goes through std::cout's buffer, wide text as UTF-8. The wide stream keeps no buffer of its
// own, which keeps narrow and wide text in the order written.
namespace ConsoleHelper
{
namespace
{
class Utf8Buffer : public std::wstreambuf
{
protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const wchar_t character = traits_type::to_char_type(c);
        return xsputn(&character, 1) == 1 ? c : traits_type::eof();
    }

    std::streamsize xsputn(const wchar_t* text, std::streamsize count) override
    {
        const std::string bytes = boost::locale::conv::utf_to_utf<char>(text, text + count);
        std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return std::cout ? count : 0;
    }

    int sync() override
    {
        std::cout.flush();
        return std::cout ? 0 : -1;
    }
};

// The printf family here reads %s and %c as narrow; the program's formats mean wide text.
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
        while (*p && std::wcschr(L"-+ #0123456789.*hlLqjzt", *p))
        {
            lengthGiven = lengthGiven || std::wcschr(L"hlLqjzt", *p);
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
} // namespace

std::ostream& Out()
{
    return std::cout;
}

std::wostream& WideOut()
{
    static Utf8Buffer buffer;
    static std::wostream stream(&buffer);
    return stream;
}

void Print(const wchar_t* format, ...)
{
    const std::wstring converted = WideConversions(format);
    std::vector<wchar_t> text(256);
    for (;;)
    {
        va_list arguments;
        va_start(arguments, format);
        const int length = std::vswprintf(text.data(), text.size(), converted.c_str(), arguments);
        va_end(arguments);
        if (length >= 0)
        {
            WideOut().write(text.data(), length);
            return;
        }
        // -1 means the buffer was too small, or an encoding error that no size mends.
        if (text.size() >= (std::size_t(1) << 24))
            return;
        text.resize(text.size() * 4);
    }
}
} // namespace ConsoleHelper
