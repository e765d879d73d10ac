#include "ConsoleHelper/Console.h"

#include <cstdlib>
#include <iostream>
#include <streambuf>
#include <string>
#include <windows.h>

// All console text leaves through one writer on the standard output handle, which std::cout's
// buffer is replaced with at start-up, so narrow text, wide text and formatted text stay in the
// order written. What the writer sends depends on the handle:
// - a console: wide text through WriteConsoleW, which shows it correctly whatever the console's
//   code page; narrow text as its bytes, which the console reads in its output code page, as it
//   would from the C runtime's narrow stream;
// - a pipe or a file: the bytes exactly as on other platforms, narrow text unchanged and wide
//   text as UTF-8, with no line-end translation.
// The writer bypasses the C runtime's stdout, so nothing converts "\n" to "\r\n" on the way.
namespace ConsoleHelper
{
namespace
{
bool WriteBytes(HANDLE handle, const char* bytes, std::size_t count)
{
    while (count > 0)
    {
        const DWORD chunk = count > 0x10000000u ? 0x10000000u : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!::WriteFile(handle, bytes, chunk, &written, nullptr) || written == 0)
            return false;
        bytes += written;
        count -= written;
    }
    return true;
}

std::string ToUtf8(const wchar_t* text, std::size_t count)
{
    std::string bytes;
    if (count == 0 || count > 0x10000000u)
        return bytes;
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0,
                                             nullptr, nullptr);
    if (length <= 0)
        return bytes;
    bytes.resize(static_cast<std::size_t>(length));
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), &bytes[0], length, nullptr,
                          nullptr);
    return bytes;
}

// The standard output writer. Narrow text is buffered for a pipe or a file and written through
// at once for a console, so that a user sees each line as it is printed.
class OutputWriter : public std::streambuf
{
public:
    explicit OutputWriter(HANDLE handle) : handle(handle), console(IsConsole(handle))
    {
        if (!console)
            setp(buffer, buffer + sizeof buffer);
    }

    // Wide text, after the narrow text written before it.
    bool WriteWide(const wchar_t* text, std::size_t count)
    {
        if (!Flush())
            return false;
        if (!console)
        {
            const std::string bytes = ToUtf8(text, count);
            return WriteBytes(handle, bytes.data(), bytes.size());
        }
        while (count > 0)
        {
            const DWORD chunk = count > 0x8000u ? 0x8000u : static_cast<DWORD>(count);
            DWORD written = 0;
            if (!::WriteConsoleW(handle, text, chunk, &written, nullptr) || written == 0)
                return false;
            text += written;
            count -= written;
        }
        return true;
    }

protected:
    int_type overflow(int_type c) override
    {
        if (!Flush())
            return traits_type::eof();
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char character = traits_type::to_char_type(c);
        if (console)
            return WriteBytes(handle, &character, 1) ? c : traits_type::eof();
        *pptr() = character;
        pbump(1);
        return c;
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override
    {
        if (!console && count <= epptr() - pptr())
        {
            traits_type::copy(pptr(), text, static_cast<std::size_t>(count));
            pbump(static_cast<int>(count));
            return count;
        }
        if (!Flush() || !WriteBytes(handle, text, static_cast<std::size_t>(count)))
            return 0;
        return count;
    }

    int sync() override { return Flush() ? 0 : -1; }

private:
    static bool IsConsole(HANDLE handle)
    {
        DWORD mode = 0;
        return ::GetFileType(handle) == FILE_TYPE_CHAR && ::GetConsoleMode(handle, &mode);
    }

    bool Flush()
    {
        const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
        if (pending == 0)
            return true;
        const bool written = WriteBytes(handle, pbase(), pending);
        setp(buffer, buffer + sizeof buffer);
        return written;
    }

    HANDLE handle;
    bool console;
    char buffer[4096];
};

// Never destroyed: std::cout is flushed after every other static object is gone, and its buffer
// must still be there then.
OutputWriter* const writer = []
{
    auto* created = new OutputWriter(::GetStdHandle(STD_OUTPUT_HANDLE));
    std::cout.rdbuf(created);
    std::atexit([] { std::cout.flush(); });
    return created;
}();

// Sends wide text to std::cout's buffer: to the writer while it is std::cout's buffer, else (when
// someone put a buffer of their own in its place) as UTF-8 into that one. A surrogate pair split
// across two writes is joined before it is converted.
class WideBuffer : public std::wstreambuf
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
        if (count <= 0)
            return 0;
        std::wstring pieces;
        if (highSurrogate)
        {
            pieces.assign(1, highSurrogate);
            highSurrogate = 0;
        }
        pieces.append(text, static_cast<std::size_t>(count));
        if (IS_HIGH_SURROGATE(pieces.back()))
        {
            highSurrogate = pieces.back();
            pieces.pop_back();
        }
        return Send(pieces) ? count : 0;
    }

    int sync() override
    {
        if (highSurrogate)
        {
            const std::wstring lone(1, highSurrogate);
            highSurrogate = 0;
            if (!Send(lone))
                return -1;
        }
        std::cout.flush();
        return std::cout ? 0 : -1;
    }

private:
    static bool Send(const std::wstring& text)
    {
        if (text.empty())
            return true;
        if (std::cout.rdbuf() == writer)
        {
            if (writer->WriteWide(text.data(), text.size()))
                return true;
            std::cout.setstate(std::ios::badbit);
            return false;
        }
        const std::string bytes = ToUtf8(text.data(), text.size());
        std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return static_cast<bool>(std::cout);
    }

    wchar_t highSurrogate = 0;
};
} // namespace

std::wostream& WideOut()
{
    static WideBuffer buffer;
    static std::wostream stream(&buffer);
    return stream;
}
} // namespace ConsoleHelper
