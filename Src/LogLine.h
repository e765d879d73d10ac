#pragma once

#include "ConsoleHelper/Printable.h"
#include "FileSystemHelper/Text.h"

#include <sstream>
#include <string>
#include <type_traits>

namespace CorvaneCommandLineScanner
{
namespace Detail
{
// Narrow pieces are the program's own texts and error descriptions in the system code page, which
// may hold a path's bytes: they are read in that code page, so that any byte keeps the line (one
// that is no character there shows as U+FFFD), and shown printable like wide pieces, except that
// a description that spans lines keeps its line breaks.
inline void Append(std::wostringstream& line, const std::string& text)
{
    std::wstring wide = FileSystemHelper::ToWide(text, FileSystemHelper::CodePageAnsi);
    if (wide.empty() && !text.empty())
        wide.assign(text.size(), L'\uFFFD');
    std::size_t start = 0;
    for (std::size_t end = wide.find(L'\n'); end != std::wstring::npos;
         start = end + 1, end = wide.find(L'\n', start))
        line << ConsoleHelper::Printable(wide.substr(start, end - start)) << L'\n';
    line << ConsoleHelper::Printable(wide.substr(start));
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
