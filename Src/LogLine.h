#pragma once

#include "ConsoleHelper/Printable.h"

#include <sstream>
#include <string>
#include <type_traits>

namespace CorvaneCommandLineScanner
{
namespace Detail
{
// Narrow pieces are widened character by character, as a wide stream does.
inline void Append(std::wostringstream& line, const std::string& text)
{
    for (const char c : text)
        line << line.widen(c);
}
inline void Append(std::wostringstream& line, const char* text)
{
    Append(line, std::string(text ? text : ""));
}
// Wide pieces carry paths, names and other outside text: each stays on its line and sends no
// control sequence to whoever reads the log.
inline void Append(std::wostringstream& line, const std::wstring& text)
{
    line << ConsoleHelper::Printable(text);
}
inline void Append(std::wostringstream& line, const wchar_t* text)
{
    Append(line, std::wstring(text ? text : L""));
}
template <typename T> void Append(std::wostringstream& line, const T& piece)
{
    line << piece;
}
} // namespace Detail

template <typename... Pieces> void Log(const wchar_t* severity, const Pieces&... pieces)
{
    std::wostringstream line;
    line << severity << L": ";
    (Detail::Append(line, pieces), ...);
    Logger::Instance().Write(line.str());
}
} // namespace CorvaneCommandLineScanner
