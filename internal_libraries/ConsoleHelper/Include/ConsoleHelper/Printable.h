#pragma once

#include <string>

namespace ConsoleHelper
{
// The text as a terminal and an XML 1.0 document can take it: every control character other than
// tab (C0 including line feed and carriage return, DEL, C1), every surrogate that is not half of
// a pair, the non-characters U+FFFE and U+FFFF and every value beyond U+10FFFF become U+FFFD;
// everything else is unchanged. The result always converts to well-formed UTF-8.
std::wstring Printable(const std::wstring& text);
} // namespace ConsoleHelper
