#include "ConsoleHelper/Console.h"

#include <boost/locale/encoding_utf.hpp>
#include <iostream>
#include <streambuf>
#include <string>

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
} // namespace

std::wostream& WideOut()
{
    static Utf8Buffer buffer;
    static std::wostream stream(&buffer);
    return stream;
}
} // namespace ConsoleHelper
