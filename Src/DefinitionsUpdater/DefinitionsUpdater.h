#pragma once

#include "DllHelper/Dll.h"
#include "JobEnvironment.h"
#include "UpdateServiceCom/Exports.h"

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

namespace CorvaneCommandLineScanner
{
// Follows the progress events of one update: prints them and answers the retry queries, five
// times yes per run, all three kinds counted together.
class UpdateProgress
{
public:
    explicit UpdateProgress(std::ostream& out) : out(&out) {}

    // Handles one event; returns the answer to the library.
    int OnEvent(int code, void* data);

    // Whether the library said that downloads wait for Install.
    bool InstallPending() const { return installPending != 0; }

private:
    std::ostream* out;
    std::uint64_t totalBytes = 0;
    std::int64_t retriesLeft = 5; // answers of 1 left for the retry queries
    std::uint64_t installPending = 0;
    std::string currentFile;
};

// The library's progress callback; context is an UpdateProgress. Never throws: the library calls
// it through its own frames.
int UpdateCallback(int code, void* data, void* context);

// The update library's exports, bound from the loaded library.
using UpdateLibrary = DllHelper::BoundLibrary<UpdSdk::Exports>;

// Loads and binds the update library at the path. Throws the loading and binding errors.
UpdateLibrary LoadUpdateLibrary(const boost::filesystem::path& path);

// Drives the update library for one definitions update: configures its service object, runs the
// update and the install, and prints the progress events the library reports. One object per
// run, used once.
class DefinitionsUpdater
{
public:
    // Settles where the definitions go, then loads the library with load, creates the service
    // object and sets its options; throws on any failure. reloadEngine starts the engine once
    // on newly installed definitions.
    DefinitionsUpdater(const JobEnvironment& environment,
                       const std::function<UpdateLibrary()>& load,
                       std::function<void()> reloadEngine);
    DefinitionsUpdater(const DefinitionsUpdater&) = delete;
    DefinitionsUpdater& operator=(const DefinitionsUpdater&) = delete;

    // Runs the update and, when downloads wait for it, the install followed by one start of the
    // engine on the new definitions. Throws on failure.
    void Start();

private:
    void SetOption(UpdSdk::Option option, void* value, const char* refusal);

    // Declared first, destroyed last: the service object goes back to the library before the
    // library is freed.
    UpdateLibrary library;
    JobEnvironment environment;
    std::ostream* out;
    std::function<void()> reloadEngine;
    UpdateProgress progress;
    boost::shared_ptr<UpdateServiceInterface> service;
};
} // namespace CorvaneCommandLineScanner
