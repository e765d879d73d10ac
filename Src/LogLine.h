#pragma once

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
