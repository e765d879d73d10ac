#pragma once

#include "Installation.h"

#include <boost/filesystem/path.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <string>
#include <vector>

namespace CorvaneTest
{
// The scripted threat-scanner double: installs it as scan.dll with a script beside it, and
// reads back the calls it recorded.
class ScriptedEngine
{
public:
    // The double as built, and a variant that lacks ThreatScanner_SetExtCallback.
    static boost::filesystem::path Library();
    static boost::filesystem::path LibraryWithoutExtCallback();

    // Installs the double as scan.dll and writes the script (an empty object: all success).
    static void Install(const Installation& installation,
                        const boost::json::value& script = boost::json::object());
    static void WriteScript(const Installation& installation, const boost::json::value& script);

    // The recorded calls, oldest first; with a name, only the calls of that export (or
    // "Callback").
    static std::vector<boost::json::object> Calls(const Installation& installation);
    static std::vector<boost::json::object> Calls(const Installation& installation,
                                                  const std::string& name);

    // Forgets the calls recorded so far.
    static void ClearRecord(const Installation& installation);
};
} // namespace CorvaneTest
