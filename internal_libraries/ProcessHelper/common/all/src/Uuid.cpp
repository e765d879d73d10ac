#include "ProcessHelper/SystemIdentity.h"

#include <cctype>

namespace ProcessHelper
{
std::wstring SystemIdentity::NormalizedUuid(const std::string& text)
{
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    if (end - begin != 36)
        return {};
    std::wstring result;
    for (std::size_t i = 0; i < 36; ++i)
    {
        const char c = text[begin + i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        result += static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(c)));
    }
    return result;
}
} // namespace ProcessHelper
