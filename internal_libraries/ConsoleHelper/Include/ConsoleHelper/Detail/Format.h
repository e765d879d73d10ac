#pragma once

#include <cstdarg>
#include <string>

namespace ConsoleHelper
{
namespace Detail
{
// The program's formats use %s and %c for a wide string and a wide character. The C runtimes
// here format in the C99 manner, where they mean narrow ones, so each is given the l length that
// means wide under every reading.
std::wstring WideConversions(const wchar_t* format);

// The formatted text, with the program's meaning of %s and %c; empty when it cannot be formatted.
std::wstring Format(const wchar_t* format, va_list arguments);
} // namespace Detail
} // namespace ConsoleHelper
