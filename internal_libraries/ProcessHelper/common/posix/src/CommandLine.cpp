#include "ProcessHelper/Process.h"

#include <boost/locale/encoding_utf.hpp>
#include <fstream>
#include <iterator>

namespace ProcessHelper
{
// The kernel keeps the arguments NUL-separated in /proc/self/cmdline. Bytes that are not
// UTF-8 are skipped rather than turning the whole token empty.
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
        tokens.push_back(boost::locale::conv::utf_to_utf<wchar_t>(all.substr(start, end - start)));
        start = end + 1;
    }
    return tokens;
}
} // namespace ProcessHelper
