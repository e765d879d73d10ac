#include "Logger.h"
#include "Folders.h"

#include "FileSystemHelper/HeldFile.h"
#include "FileSystemHelper/OutputFile.h"
#include "FileSystemHelper/Text.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>

namespace CorvaneCommandLineScanner
{
namespace
{
// The line as well-formed UTF-8: a surrogate that is not half of a pair, or a value beyond
// U+10FFFF, becomes U+FFFD, and the rest of the line stays.
std::string Utf8Line(const std::wstring& line)
{
    const auto unit = [&](std::size_t i)
    { return static_cast<unsigned long>(line[i]) & (sizeof(wchar_t) == 2 ? 0xFFFFul : ~0ul); };
    const auto high = [](unsigned long c) { return c >= 0xD800 && c <= 0xDBFF; };
    const auto low = [](unsigned long c) { return c >= 0xDC00 && c <= 0xDFFF; };
    std::wstring wellFormed = line;
    for (std::size_t i = 0; i < line.size(); ++i)
    {
        if (sizeof(wchar_t) == 2 && high(unit(i)) && i + 1 < line.size() && low(unit(i + 1)))
            ++i;
        else if (high(unit(i)) || low(unit(i)) || unit(i) > 0x10FFFF)
            wellFormed[i] = L'\uFFFD';
    }
    return FileSystemHelper::ToNarrow(wellFormed, FileSystemHelper::CodePageUtf8);
}
} // namespace

Logger::~Logger()
{
    if (file)
        std::fclose(file);
}

void Logger::Init()
{
    try
    {
        Init(RunFolders().state);
    }
    catch (const std::exception&)
    {
        // Without a program folder there is no log; lines are only lost.
    }
}

void Logger::Init(const boost::filesystem::path& folder)
{
    // A file of an earlier Init is finished; the next Write starts the new one.
    if (file)
        std::fclose(file);
    file = nullptr;
    held.Release();
    try
    {
        filePath = folder;
        const std::string fileName =
            boost::posix_time::to_iso_string(boost::posix_time::microsec_clock::universal_time()) +
            ".txt";
        filePath /= "Logs";
        // The folder is emptied of earlier runs' logs; a log that another running process
        // still holds stays.
        boost::system::error_code ignored;
        if (!boost::filesystem::is_directory(boost::filesystem::symlink_status(filePath, ignored)))
            boost::filesystem::remove_all(filePath, ignored);
        FileSystemHelper::RemoveUnheldFiles(filePath);
        FileSystemHelper::CreatePrivateFolder(filePath);
        filePath /= fileName;
    }
    catch (const std::exception&)
    {
        // Without a log file lines are only lost.
    }
}

void Logger::Write(const std::wstring& line)
{
    if (!file)
    {
        if (filePath.empty())
            return;
        // Text mode: on Windows ends of line are written as CR LF.
        file = held.Create(filePath, FileSystemHelper::Access::Private, "w");
        if (!file)
            return;
    }
    const std::string bytes = Utf8Line(line) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
    // A line that could not be written must not stop the next one.
    std::clearerr(file);
}
} // namespace CorvaneCommandLineScanner
