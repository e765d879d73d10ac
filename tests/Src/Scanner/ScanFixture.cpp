#include "ScanFixture.h"

#include "Logger.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace CorvaneTest
{
EngineInstallation::EngineInstallation(const std::string& script,
                                       const boost::filesystem::path& folderName)
    : Installation({}, folderName)
{
    ScriptedEngine::Install(*this, boost::json::parse(script));
}

void EngineInstallation::Script(const std::string& script) const
{
    ScriptedEngine::WriteScript(*this, boost::json::parse(script));
}

std::vector<boost::json::object> EngineInstallation::Calls() const
{
    return ScriptedEngine::Calls(*this);
}

std::vector<boost::json::object> EngineInstallation::Calls(const std::string& name) const
{
    return ScriptedEngine::Calls(*this, name);
}

std::vector<std::string> EngineInstallation::CallNames() const
{
    std::vector<std::string> names;
    for (const auto& call : Calls())
        names.push_back(Text(call.at("call")));
    return names;
}

namespace
{
// The lines of a text file; Windows writes the log in text mode, with CR LF line ends.
std::vector<std::string> FileLines(const boost::filesystem::path& file)
{
    std::vector<std::string> lines;
    std::istringstream content(ReadFile(file));
    std::string line;
    while (std::getline(content, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}
} // namespace

std::vector<std::string> EngineInstallation::LogLines() const
{
    std::vector<std::string> lines;
    const boost::filesystem::path logs = Folder() / "Logs";
    if (!boost::filesystem::is_directory(logs))
        return lines;
    for (const auto& entry : boost::filesystem::directory_iterator(logs))
    {
        const std::vector<std::string> file = FileLines(entry.path());
        lines.insert(lines.end(), file.begin(), file.end());
    }
    return lines;
}

std::streamsize CapturedConsole::xsputn(const wchar_t* text, std::streamsize count)
{
    narrow << boost::locale::conv::utf_to_utf<char>(text, text + count);
    return count;
}

CapturedConsole::int_type CapturedConsole::overflow(int_type character)
{
    if (traits_type::eq_int_type(character, traits_type::eof()))
        return traits_type::not_eof(character);
    const wchar_t text = traits_type::to_char_type(character);
    xsputn(&text, 1);
    return character;
}

CorvaneCommandLineScanner::JobEnvironment TestEnvironment(const boost::filesystem::path& folder,
                                                          CapturedConsole& console)
{
    CorvaneCommandLineScanner::JobEnvironment environment;
    environment.programFolder = folder;
    environment.folders = CorvaneCommandLineScanner::ChooseFolders(folder, false, {}, {});
    environment.enginesFolder = L"/opt/engines";
    environment.definitionsServerUrl = "http://127.0.0.1:1/av64bit";
    environment.out = &console.narrow;
    environment.wideOut = &console.wide;
    return environment;
}

namespace
{
const boost::filesystem::path& LogFile()
{
    static const TemporaryFolder folder;
    static const boost::filesystem::path file = []
    {
        CorvaneCommandLineScanner::Logger::Instance().Init(folder.Path());
        CorvaneCommandLineScanner::Log(L"Info", "Tests in process");
        return CorvaneCommandLineScanner::Logger::Instance().FilePath();
    }();
    return file;
}

} // namespace

LogCapture::LogCapture() : start(FileLines(LogFile()).size()) {}

std::vector<std::string> LogCapture::Lines() const
{
    std::vector<std::string> lines = FileLines(LogFile());
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(start));
    return lines;
}

std::string ReportPathFromOutput(const std::string& output)
{
    std::smatch match;
    if (std::regex_search(output, match, std::regex("You can access scan result here: (.*)\n")))
        return match[1];
    return {};
}

void LoadReport(pugi::xml_document& document, const boost::filesystem::path& path)
{
    ASSERT_EQ(XmlCharacterProblem(ReadFile(path)), "") << path;
    const pugi::xml_parse_result result = document.load_file(path.string().c_str());
    ASSERT_TRUE(result) << path << ": " << result.description();
}

std::vector<std::string> ReportedPaths(const pugi::xml_document& document)
{
    std::vector<std::string> paths;
    for (const pugi::xml_node path : document.child("Summary").child("ScanPaths").children())
        paths.push_back(path.attribute("Value").value());
    return paths;
}

std::string Text(const boost::json::value& value)
{
    return value.is_string() ? std::string(value.as_string()) : "(null)";
}
} // namespace CorvaneTest
