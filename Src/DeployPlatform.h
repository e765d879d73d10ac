#pragma once

#include <boost/json/value.hpp>
#include <map>
#include <string>

namespace CorvaneCommandLineScanner
{
using JsonObject = std::map<std::string, boost::json::value>;

// The deploy platform from InstallationLayout::ProductDataFolder()/Options/UpdateServer.txt, or
// empty when there is none. Never throws; reasons are logged.
std::wstring DeployPlatformFromFile();

// Fills values with the members of the JSON object in the file. False, with the reason
// logged, when the file cannot be read or holds no JSON object.
bool ReadJsonFile(const std::wstring& path, JsonObject& values);
} // namespace CorvaneCommandLineScanner
