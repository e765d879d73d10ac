#pragma once

#include "DllHelper/Dll.h"
#include "UpdateServiceCom/UpdateServiceInterface.h"

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

namespace CorvaneCommandLineScanner
{
// The base URL of the definitions server, fixed when the program is built.
std::string DefinitionsServerUrl();

// Drives the update library for one definitions update: loads it from the program folder,
// configures its service object, runs the update and the install, and prints the progress
// events the library reports. One object per run, used once.
class DefinitionsUpdater
{
public:
    // Loads the library, creates the service object and sets its options; throws on any failure.
    DefinitionsUpdater();
    DefinitionsUpdater(const DefinitionsUpdater&) = delete;
    DefinitionsUpdater& operator=(const DefinitionsUpdater&) = delete;

    // Runs the update and, when downloads wait for it, the install followed by one start of the
    // engine on the new definitions. Throws on failure.
    void Start();

    // The library's progress callback; context is the DefinitionsUpdater. Never throws: the
    // library calls it through its own frames.
    static int UpdateCallback(int code, void* data, void* context);

private:
    using Library = DllHelper::Detail::Dll<DllHelper::DllTag>;

    void SetOption(UpdSdk::Option option, void* value, const char* refusal);
    int OnEvent(int code, void* data);

    // Declared first, destroyed last: the service object goes back to the library before the
    // library is freed.
    boost::shared_ptr<Library> dll;
    std::uint64_t totalBytes = 0;
    std::int64_t retriesLeft = 0;
    std::uint64_t installPending = 0;
    std::string currentFile;
    boost::shared_ptr<UpdateServiceInterface> service;
};
} // namespace CorvaneCommandLineScanner
