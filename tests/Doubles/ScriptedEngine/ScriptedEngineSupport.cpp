#include "ScriptedEngine.h"

#include <boost/filesystem/operations.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <sstream>

namespace CorvaneTest
{
boost::filesystem::path ScriptedEngine::Library()
{
    return SCRIPTED_ENGINE_PATH;
}

boost::filesystem::path ScriptedEngine::LibraryWithoutExtCallback()
{
    return SCRIPTED_ENGINE_WITHOUT_EXT_CALLBACK_PATH;
}

void ScriptedEngine::Install(const Installation& installation, const boost::json::value& script)
{
    installation.Install(Library(), "scan.dll");
    WriteScript(installation, script);
}

void ScriptedEngine::WriteScript(const Installation& installation, const boost::json::value& script)
{
    installation.WriteFile("scan.script.json", boost::json::serialize(script));
}

std::vector<boost::json::object> ScriptedEngine::Calls(const Installation& installation)
{
    std::vector<boost::json::object> calls;
    std::istringstream lines(ReadFile(installation.Folder() / "scan.record.jsonl"));
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty())
            calls.push_back(boost::json::parse(line).as_object());
    return calls;
}

std::vector<boost::json::object> ScriptedEngine::Calls(const Installation& installation,
                                                       const std::string& name)
{
    std::vector<boost::json::object> calls;
    for (auto& call : Calls(installation))
        if (call.at("call") == boost::json::value(name))
            calls.push_back(std::move(call));
    return calls;
}

void ScriptedEngine::ClearRecord(const Installation& installation)
{
    boost::system::error_code ignored;
    boost::filesystem::remove(installation.Folder() / "scan.record.jsonl", ignored);
}
} // namespace CorvaneTest
