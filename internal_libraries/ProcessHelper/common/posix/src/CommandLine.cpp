#include "ProcessHelper/Process.h"

#include "FileSystemHelper/Text.h"

#include <fstream>
#include <iterator>

namespace ProcessHelper
{
// The kernel keeps the arguments NUL-separated in /proc/self/cmdline. Each argument keeps every
// byte: bytes that are not UTF-8 travel as U+DC80..U+DCFF (see FileSystemHelper::ToWide).
std::vector<std::wstring> CommandLineArguments()
{
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::wstring> tokens;
    std::size_t start = 0;
    while (start < all.size())
    {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        tokens.push_back(FileSystemHelper::ToWide(all.substr(start, end - start),
                                                  FileSystemHelper::CodePageUtf8));
        start = end + 1;
    }
    return tokens;
}
} // namespace ProcessHelper
