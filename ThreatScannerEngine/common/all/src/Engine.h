#pragma once

#include "FileSystemHelper/HeldFile.h"

#include <cstdint>
#include <memory>
#include <string>

struct cl_engine;

namespace ThreatScannerEngine
{
// What the installed definitions say about themselves.
struct DatabaseInformation
{
    bool known = false;
    std::uint32_t version = 0;
    std::uint32_t releaseTime = 0; // seconds since 1970-01-01 UTC
};

// Reads the definitions' own description: the first line containing "Version: " followed by a
// number, and the first line "Release time: YYYY-MM-DDTHH:MM:SSZ". Known only when the version
// was found; a missing release time reads as 0.
DatabaseInformation ReadUpdateInformation(const std::string& path);

// Holds the switch lock beside a definitions folder shared, so that an update does not move sets
// in or out of the folder's place while it is read; a load during a switch waits up to a minute
// for its end. A shared lock never creates the file: without a lock file that this process can
// open (a folder no update has switched yet, or one whose lock file it may not read), the set is
// read as it is, unguarded, and the result says so.
FileSystemHelper::LockResult LockForReading(FileSystemHelper::HeldFile& lock,
                                            const std::string& definitionsFolder);

// Sets one of the limits every engine loaded afterwards gets, named as its alert names it
// ("MaxScanSize"); false for another name. Only the test copy of the library calls it.
bool SetEngineLimitForTests(const std::string& name, unsigned long long value);

// One compiled set of definitions. Scans on any number of threads share it; it is never changed
// after it has been compiled.
class Engine
{
public:
    // Loads every definitions file of the folder and compiles them. Extracted archive members go
    // to tempFolder, or to the system's temporary folder when it is empty. Returns 0 or the
    // result code of the failure.
    static int Load(const std::string& pluginsFolder, const std::string& tempFolder,
                    std::shared_ptr<const Engine>& result);

    // Readies the scanning library and its cryptography once per process; called before anything
    // else that may hash or verify. Returns 0 or the result code of the failure.
    static int InitializeLibraries();

    // Names the scanning library and the engine's settings: results of one version may not
    // hold for another.
    static std::string Version();

    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    const cl_engine* Handle() const { return engine; }
    const DatabaseInformation& Information() const { return information; }

private:
    Engine() = default;

    cl_engine* engine = nullptr;
    DatabaseInformation information;
};
} // namespace ThreatScannerEngine
