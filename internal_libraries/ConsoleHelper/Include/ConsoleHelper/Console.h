#pragma once

#include <ostream>

// Standard output for narrow text, wide text and wide formatted text alike, in the order written.
namespace ConsoleHelper
{
// Narrow text (the system code page).
std::ostream& Out();

// Wide text; it reaches the same standard output as Out(), in order.
std::wostream& WideOut();

// Wide formatted output in the printf family's manner, where %s and %c stand for a wide string
// and a wide character. A null string prints as "(null)". What a string or a character
// conversion substitutes is shown as Printable (ConsoleHelper/Printable.h) makes it.
void Print(const wchar_t* format, ...);

// The same, written to the given stream.
void PrintTo(std::wostream& out, const wchar_t* format, ...);
} // namespace ConsoleHelper
