#include "Logger.h"
#include "Folders.h"

#include "FileSystemHelper/HeldFile.h"
#include "FileSystemHelper/OutputFile.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>

namespace CorvaneCommandLineScanner
{
namespace
{
void AppendUtf8(std::string& out, unsigned long c)
{
    if (c < 0x80)
    {
        out += static_cast<char>(c);
        return;
    }
    if (c < 0x800)
    {
        out += static_cast<char>(0xC0 | (c >> 6));
    }
    else if (c < 0x10000)
    {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    out += static_cast<char>(0x80 | (c & 0x3F));
}

// The line as well-formed UTF-8: a surrogate that is not half of a pair, or a value beyond
// U+10FFFF, becomes U+FFFD, and the rest of the line stays.
std::string Utf8Line(const std::wstring& line)
{
    std::string result;
    result.reserve(line.size() + 1);
    for (std::size_t i = 0; i < line.size(); ++i)
    {
        unsigned long c =
            static_cast<unsigned long>(line[i]) & (sizeof(wchar_t) == 2 ? 0xFFFFul : 0xFFFFFFFFul);
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (sizeof(wchar_t) == 2 && high && i + 1 < line.size())
        {
            const unsigned long low = static_cast<unsigned long>(line[i + 1]) & 0xFFFFul;
            if (low >= 0xDC00 && low <= 0xDFFF)
            {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
                AppendUtf8(result, c);
                continue;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            c = 0xFFFD;
        AppendUtf8(result, c);
    }
    return result;
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
        Init(ProgramFolder());
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
