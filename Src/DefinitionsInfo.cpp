#include "Folders.h"
#include "Jobs.h"
#include "Logger.h"
#include "Scanner/Scanner.h"

#include "ConsoleHelper/Console.h"
#include "FileSystemHelper/File.h"
#include "FileSystemHelper/Text.h"

#include <boost/regex.hpp>
#include <sstream>

namespace CorvaneCommandLineScanner
{
std::string DefinitionsVersionText()
{
    try
    {
        return DefinitionsVersionText(RunFolders().definitions / "Plugins" / "update.txt");
    }
    catch (const std::exception& error)
    {
        Log(L"Info", error.what());
    }
    return {};
}

std::string DefinitionsVersionText(const boost::filesystem::path& path)
{
    try
    {
        // Read by its wide name, and only when it is a regular file (a FIFO is not waited for).
        std::vector<char> bytes;
        if (!FileSystemHelper::File::Read(FileSystemHelper::WidePath(path), bytes))
            return {};
        std::istringstream file(std::string(bytes.begin(), bytes.end()));
        const boost::regex versionLine("Version: (.+)");
        std::string line;
        while (std::getline(file, line))
        {
            // A file written on Windows keeps its carriage returns when read here.
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            boost::smatch match;
            if (boost::regex_search(line, match, versionLine))
                return match[1];
        }
    }
    catch (const std::exception& error)
    {
        Log(L"Info", error.what());
    }
    return {};
}

std::vector<std::string> OfficialDatabaseLines(const boost::filesystem::path& path)
{
    std::vector<std::string> lines;
    try
    {
        std::vector<char> bytes;
        if (!FileSystemHelper::File::Read(FileSystemHelper::WidePath(path), bytes))
            return {};
        std::istringstream file(std::string(bytes.begin(), bytes.end()));
        // Written by the update library from each database's own header.
        const boost::regex databaseLine("Official database: ((?:main|daily|bytecode)\\.c[vl]d) "
                                        "version ([0-9]{1,10}) built ([0-9]{4}-[0-9]{2}-[0-9]{2}"
                                        "T[0-9]{2}:[0-9]{2}:[0-9]{2}Z)");
        std::string line;
        while (std::getline(file, line) && lines.size() < 3)
        {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            boost::smatch match;
            if (boost::regex_match(line, match, databaseLine))
                lines.push_back("Official database: " + match[1] + ", version " + match[2] +
                                ", built " + match[3]);
        }
    }
    catch (const std::exception& error)
    {
        Log(L"Info", error.what());
    }
    return lines;
}

void PrintDefinitionsInfo()
{
    std::uint32_t version = 0;
    std::wstring releaseDate;
    try
    {
        const JobEnvironment environment = RunEnvironment();
        Scanner scanner(LoadEngine(environment.programFolder / "scan.dll"), environment);
        scanner.GetDatabaseInformation(version, releaseDate);
    }
    catch (const boost::exception&)
    {
        releaseDate = L"N/A";
    }

    ConsoleHelper::Out() << "Definitions Info:\n";
    ConsoleHelper::Out() << "\tDatabase version: " << version << std::endl;
    ConsoleHelper::WideOut() << L"\tDatabase release date: " << releaseDate << std::endl;
    std::string versionText = DefinitionsVersionText();
    if (versionText.empty())
        versionText = "N/A";
    ConsoleHelper::Out() << "\tVersion: " << versionText << std::endl;
    try
    {
        for (const std::string& line :
             OfficialDatabaseLines(RunFolders().definitions / "Plugins" / "update.txt"))
            ConsoleHelper::Out() << "\t" << line << std::endl;
    }
    catch (const boost::exception&)
    {
        // Without the program folder there is no update.txt to describe.
    }
}
} // namespace CorvaneCommandLineScanner
