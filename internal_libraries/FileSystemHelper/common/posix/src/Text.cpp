#include "FileSystemHelper/Text.h"

#include "../../all/src/Utf8Text.h"

namespace FileSystemHelper
{
// Both code pages mean UTF-8 here, and file names and arguments are bytes: bytes that are not
// valid UTF-8 travel as U+DC80..U+DCFF and come back as the same bytes.
std::wstring ToWide(const std::string& text, unsigned int /*codePage*/)
{
    return Detail::DecodeUtf8(text);
}

// A wide value that no byte string gives (above U+10FFFF, or another lone surrogate) fails the
// conversion, so that it never stands for a different name.
std::string ToNarrow(const std::wstring& text, unsigned int /*codePage*/)
{
    std::string result;
    if (!Detail::EncodeUtf8(text, result))
        return {};
    return result;
}

std::wstring WidePath(const boost::filesystem::path& path)
{
    return Detail::DecodeUtf8(path.string());
}

boost::filesystem::path PathFromWide(const std::wstring& path)
{
    return boost::filesystem::path(ToNarrow(path, CodePageUtf8));
}
} // namespace FileSystemHelper
