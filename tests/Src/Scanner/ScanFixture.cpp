#include "ScanFixture.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
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

std::vector<std::string> EngineInstallation::LogLines() const
{
    std::vector<std::string> lines;
    const boost::filesystem::path logs = Folder() / "Logs";
    if (!boost::filesystem::is_directory(logs))
        return lines;
    for (const auto& entry : boost::filesystem::directory_iterator(logs))
    {
        std::istringstream content(ReadFile(entry.path()));
        std::string line;
        while (std::getline(content, line))
        {
            // Windows writes the log in text mode, with CR LF line ends.
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
        }
    }
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
