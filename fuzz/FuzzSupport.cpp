#include "FuzzSupport.h"

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace CorvaneFuzz
{
std::uint8_t Input::Byte()
{
    return position < size ? data[position++] : 0;
}

std::uint32_t Input::Number()
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= std::uint32_t{Byte()} << (8 * i);
    return value;
}

std::string Input::Piece()
{
    std::string piece;
    while (position < size && data[position] != 0)
        piece += static_cast<char>(data[position++]);
    if (position < size)
        ++position;
    return piece;
}

std::wstring Input::WidePiece()
{
    const std::string bytes = Piece();
    std::wstring text;
    for (std::size_t i = 0; i < bytes.size();)
    {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead == 0xFF && i + 4 < bytes.size())
        {
            // Four digits in base 255, lowest first, each byte minus one (a piece holds no NUL).
            std::uint32_t unit = 0;
            for (int k = 3; k >= 0; --k)
                unit = unit * 255 + static_cast<unsigned char>(bytes[i + 1 + k]) - 1;
            text += static_cast<wchar_t>(unit);
            i += 5;
            continue;
        }
        // The length of a well-formed UTF-8 sequence starting here, or 0.
        std::size_t length = 0;
        std::uint32_t value = 0;
        if (lead < 0x80)
            length = 1, value = lead;
        else if (lead >= 0xC2 && lead <= 0xDF)
            length = 2, value = lead & 0x1F;
        else if (lead >= 0xE0 && lead <= 0xEF)
            length = 3, value = lead & 0x0F;
        else if (lead >= 0xF0 && lead <= 0xF4)
            length = 4, value = lead & 0x07;
        bool valid = length != 0 && i + length <= bytes.size();
        for (std::size_t k = 1; valid && k < length; ++k)
        {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0) == 0x80;
            value = value << 6 | (next & 0x3F);
        }
        if (valid)
        {
            const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
            valid = value >= smallest[length] && value <= 0x10FFFF &&
                    !(value >= 0xD800 && value <= 0xDFFF);
        }
        if (valid)
        {
            text += static_cast<wchar_t>(value);
            i += length;
        }
        else
        {
            text += static_cast<wchar_t>(0xDC00 | lead);
            ++i;
        }
    }
    return text;
}

std::string Input::Rest()
{
    std::string rest(reinterpret_cast<const char*>(data) + position, size - position);
    position = size;
    return rest;
}

std::string Bytes(const std::uint8_t* data, std::size_t size)
{
    return std::string(reinterpret_cast<const char*>(data), size);
}

namespace
{
struct Scratch
{
    boost::filesystem::path folder;
    pid_t owner = ::getpid();

    Scratch()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/corvane-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            Fail("mkdtemp", pattern);
        folder = pattern;
    }

    ~Scratch()
    {
        // A forked child (libFuzzer does not fork, but a library might) leaves the folder alone.
        if (::getpid() == owner)
        {
            boost::system::error_code ignored;
            boost::filesystem::remove_all(folder, ignored);
        }
    }
};
} // namespace

const boost::filesystem::path& ScratchFolder()
{
    static const Scratch scratch;
    return scratch.folder;
}

boost::filesystem::path WriteFile(const boost::filesystem::path& path, const std::string& content)
{
    std::ofstream file(path.string(), std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    file.close();
    if (!file)
        Fail("writing a scratch file", path.string());
    return path;
}

std::string ReadFile(const boost::filesystem::path& path)
{
    std::ifstream file(path.string(), std::ios::binary);
    if (!file)
        Fail("reading a data file", path.string());
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

boost::filesystem::path DataFolder()
{
    return CORVANE_FUZZ_DATA_FOLDER;
}

void Fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "\n==FUZZ INVARIANT== %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string Escaped(const std::string& bytes)
{
    std::string text;
    char hex[8];
    for (const char c : bytes)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\')
        {
            text += c;
            continue;
        }
        std::snprintf(hex, sizeof hex, "\\x%02X", byte);
        text += hex;
    }
    return text;
}

std::string Escaped(const std::wstring& text)
{
    std::string result;
    char hex[16];
    for (const wchar_t c : text)
    {
        const auto unit = static_cast<std::uint32_t>(c);
        if (unit >= 0x20 && unit < 0x7F && unit != '\\')
        {
            result += static_cast<char>(unit);
            continue;
        }
        std::snprintf(hex, sizeof hex, "\\u{%X}", unit);
        result += hex;
    }
    return result;
}
} // namespace CorvaneFuzz
