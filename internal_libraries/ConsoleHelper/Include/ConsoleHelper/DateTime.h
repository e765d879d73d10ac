#pragma once

#include <string>

namespace ConsoleHelper
{
// A moment (seconds since 1970 UTC) as the user's locale writes a date and time in its default
// (medium) style, in the local time zone. Throws std::exception when it cannot be formatted.
std::wstring LocalDateTime(double seconds);
} // namespace ConsoleHelper
