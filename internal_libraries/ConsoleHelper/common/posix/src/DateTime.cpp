#include "ConsoleHelper/DateTime.h"

#include <boost/locale/encoding_utf.hpp>
#include <boost/locale/util.hpp>
#include <memory>
#include <stdexcept>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

// ICU is asked for the one date format needed. A locale made by Boost.Locale would give the same
// text (the same locale, style and zone), but makes every date and time format of the locale
// first, which costs more than the rest of a short run.
namespace ConsoleHelper
{
std::wstring LocalDateTime(double seconds)
{
    const icu::Locale locale =
        icu::Locale::createCanonical(boost::locale::util::get_system_locale().c_str());
    const std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kDefault, icu::DateFormat::kDefault, locale));
    if (!format)
        throw std::runtime_error("no date format for the locale");
    format->adoptTimeZone(icu::TimeZone::createDefault());
    icu::UnicodeString text;
    format->format(static_cast<UDate>(seconds * 1000.0), text);
    std::string utf8;
    text.toUTF8String(utf8);
    return boost::locale::conv::utf_to_utf<wchar_t>(utf8);
}
} // namespace ConsoleHelper
