#include "Actions.h"

#include <algorithm>
#include <cstdint>
#include <ctime>

namespace ThreatScannerEngine
{
std::uint64_t quarantineReserveBytes = std::uint64_t(256) << 20;
unsigned int quarantineReservePercent = 2;

bool LeavesReserve(std::uint64_t bytes, std::uint64_t total, std::uint64_t available)
{
    const std::uint64_t share = total / 100 * quarantineReservePercent;
    const std::uint64_t reserve = std::max(quarantineReserveBytes, share);
    return available >= reserve && available - reserve >= bytes;
}

namespace
{
// The length of the well-formed UTF-8 sequence at text[i] that stands for a printable character,
// or 0.
std::size_t PrintableSequence(const std::string& text, std::size_t i)
{
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return lead >= 0x20 && lead != 0x7F ? 1 : 0;
    std::size_t length = 0;
    unsigned long c = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, c = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, c = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, c = lead & 0x07;
    if (length == 0 || i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k)
    {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
    const bool printable = !(c >= 0x80 && c <= 0x9F) && !(c >= 0xD800 && c <= 0xDFFF) &&
                           c != 0xFFFE && c != 0xFFFF && c <= 0x10FFFF;
    return !overlong && printable ? length : 0;
}
} // namespace

std::string EscapedRecordValue(const std::string& text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string result;
    for (std::size_t i = 0; i < text.size();)
    {
        const char c = text[i];
        if (c == '\\')
            result += "\\\\";
        else if (c == '\n')
            result += "\\n";
        else if (c == '\r')
            result += "\\r";
        else if (c == '\t')
            result += c;
        else if (const std::size_t length = PrintableSequence(text, i))
        {
            result.append(text, i, length);
            i += length;
            continue;
        }
        else
        {
            const unsigned char value = static_cast<unsigned char>(c);
            result += "\\x";
            result += digits[value >> 4];
            result += digits[value & 15];
        }
        ++i;
    }
    return result;
}

std::string UtcTime(const char* format)
{
    // The calendar date is worked out here: the C library's broken-down UTC time is not
    // thread-safe everywhere, and its thread-safe forms differ between systems.
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    std::int64_t days = now / 86400;
    std::int64_t seconds = now % 86400;
    if (seconds < 0)
    {
        seconds += 86400;
        --days;
    }
    // Days since 1970-01-01 to year, month and day (proleptic Gregorian calendar).
    const std::int64_t shifted = days + 719468;
    const std::int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const std::int64_t dayOfEra = shifted - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    std::tm moment{};
    moment.tm_mday = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    moment.tm_mon = static_cast<int>(month - 1);
    moment.tm_year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0) - 1900);
    moment.tm_hour = static_cast<int>(seconds / 3600);
    moment.tm_min = static_cast<int>(seconds / 60 % 60);
    moment.tm_sec = static_cast<int>(seconds % 60);
    char text[32];
    std::strftime(text, sizeof text, format, &moment);
    return text;
}
} // namespace ThreatScannerEngine
