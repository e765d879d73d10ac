#include "Logger.h"
#include "Folders.h"

#include "FileSystemHelper/HeldFile.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/locale/util.hpp>

namespace CorvaneCommandLineScanner
{
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
    if (file.is_open())
        file.close();
    held.Release();
    try
    {
        filePath = folder;
        const std::string fileName =
            boost::posix_time::to_iso_string(boost::posix_time::microsec_clock::universal_time()) +
            ".txt";
        filePath /= "Logs";
        // The folder is emptied of earlier runs' logs; a log that another running process
        // still writes stays.
        boost::system::error_code ignored;
        if (!boost::filesystem::is_directory(boost::filesystem::symlink_status(filePath, ignored)))
            boost::filesystem::remove_all(filePath, ignored);
        FileSystemHelper::RemoveUnheldFiles(filePath);
        boost::filesystem::create_directories(filePath, ignored);
        filePath /= fileName;
    }
    catch (const std::exception&)
    {
        // Without a log file lines are only lost.
    }
}

void Logger::Write(const std::wstring& line)
{
    if (!file.is_open())
    {
        file.clear();
        if (filePath.empty())
            return;
        // Wide text goes to the file as UTF-8, so no character is lost to the conversion.
        file.imbue(boost::locale::util::create_utf8_codecvt(std::locale::classic(),
                                                            boost::locale::char_facet_t::wchar_f));
        // Held first, so that another run's reset of the folder leaves the file alone.
        held.Hold(filePath);
        file.open(filePath.string(), std::ios::out | std::ios::trunc);
        if (!file.is_open())
            return;
    }
    file << line << L'\n';
    file.flush();
    // A line that could not be written must not stop the next one.
    file.clear();
}
} // namespace CorvaneCommandLineScanner
