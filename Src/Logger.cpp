#include "Logger.h"
#include "Folders.h"

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
    try
    {
        filePath = folder;
        const std::string fileName =
            boost::posix_time::to_iso_string(boost::posix_time::microsec_clock::universal_time()) +
            ".txt";
        filePath /= "Logs";
        boost::system::error_code ignored;
        boost::filesystem::remove_all(filePath, ignored);
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
