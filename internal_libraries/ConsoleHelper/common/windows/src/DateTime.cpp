#include "ConsoleHelper/DateTime.h"

#include <boost/locale/formatting.hpp>
#include <boost/locale/generator.hpp>
#include <sstream>

namespace ConsoleHelper
{
std::wstring LocalDateTime(double seconds)
{
    std::wostringstream text;
    text.imbue(boost::locale::generator()(""));
    text << boost::locale::as::datetime << boost::locale::as::local_time << seconds;
    return text.str();
}
} // namespace ConsoleHelper
