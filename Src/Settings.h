#pragma once

#include "Singleton.h"

#include "ScanProtocol/Channel.h"

#include <boost/filesystem/path.hpp>
#include <string>

namespace CorvaneCommandLineScanner
{
// The installation's settings from config.ini beside the executable.
class Settings : public Singleton<Settings>
{
public:
    // Reads config.ini from the program folder. Reports nothing: what cannot be read keeps its
    // default.
    Settings();

    // Reads the given INI file; reading stops at the first error (missing file, syntax error,
    // missing key, a read_only that is not a boolean), and what was read so far stays.
    // enginesFolder falls back to defaultEnginesFolder.
    Settings(const boost::filesystem::path& iniFile, const std::wstring& defaultEnginesFolder);

    // A read-only installation writes nothing beside the executable.
    bool readOnly = false;
    // Folder the read-only engine start-up uses.
    std::wstring enginesFolder;
    // Where definitions updates come from when not from the server built into the program:
    // config.ini key definitions_server, read on its own (it needs no other key). Empty when not
    // set.
    std::string definitionsServer;
    // The socket of the resident engine service that scans for the engine when it answers:
    // config.ini key engine_service, read on its own; the value off (or an empty value) turns the
    // service off, and the engine then always loads in the program's process.
    std::string engineService = defaultEngineService;

    // An installation for every user of the machine (the release package marks it so in
    // installation.ini beside the executable, see InstallationLayout::ReadPerMachine): its state
    // lives where users may write it, see InstallationFolders. Read on its own, from its own file,
    // so that the user's config.ini never changes it.
    bool perMachine = false;

    // A socket on Linux, a named pipe on Windows.
    static constexpr const char* defaultEngineService = ScanProtocol::defaultEndpoint;
};
} // namespace CorvaneCommandLineScanner
