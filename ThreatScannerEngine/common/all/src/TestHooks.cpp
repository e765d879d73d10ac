// Built only into the test copy of the library: lets a test pause the walk and the scan at
// known points, count the files scanned, and tune the walk's and the quarantine's bounds.
#include "Actions.h"
#include "Engine.h"
#include "FileScan.h"
#include "FileSystem.h"
#include "ResultCache.h"
#include "Session.h"
#include "Walk.h"

#include "Export/Export.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <process.h>
#define CURRENT_PROCESS_ID _getpid()
#else
#include <unistd.h>
#define CURRENT_PROCESS_ID ::getpid()
#endif

namespace
{
// A program run with the test copy pauses inside an archive, when libclamav is about to scan a
// member named "pause-here", if CORVANE_ENGINE_PAUSE_MARKER names a file: it writes its process
// id into that file and waits until a scan is told to stop (at most a minute), so that a test can
// interrupt it there.
void PauseAtMarkedMember(const char* name)
{
    const std::string member = name;
    if (member.size() < 10 || member.compare(member.size() - 10, 10, "pause-here") != 0)
        return;
    const char* marker = std::getenv("CORVANE_ENGINE_PAUSE_MARKER");
    if (!marker)
        return;
    const unsigned long long before = ThreatScannerEngine::stopRequests.load();
    {
        const std::string part = std::string(marker) + ".part";
        std::ofstream(part) << CURRENT_PROCESS_ID << "\n";
        std::rename(part.c_str(), marker);
    }
    for (int wait = 0; wait < 6000 && ThreatScannerEngine::stopRequests.load() == before; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

const bool pauseInstalled = (ThreatScannerEngine::layerHook = PauseAtMarkedMember, true);
} // namespace

CORVANE_EXPORT void ThreatScannerTest_SetWalkListedHook(void (*hook)(const char* folder))
{
    ThreatScannerEngine::walkListedHook = hook;
}

CORVANE_EXPORT void ThreatScannerTest_SetBlockedOpenHook(bool (*hook)(const char* name))
{
    ThreatScannerEngine::blockedOpenHook = hook;
}

// Called with the path of each file just scanned with a detection, before its signature is
// checked.
CORVANE_EXPORT void ThreatScannerTest_SetScannedHook(void (*hook)(const char* path))
{
    ThreatScannerEngine::scannedHook = hook;
}

// The number of files the engine has read and scanned so far.
CORVANE_EXPORT unsigned long long ThreatScannerTest_ScannedFiles()
{
    return ThreatScannerEngine::scannedFiles.load();
}

// The free space a quarantine copy must leave; the defaults are 256 MiB and 2 %.
CORVANE_EXPORT void ThreatScannerTest_SetQuarantineReserve(unsigned long long bytes,
                                                           unsigned int percent)
{
    ThreatScannerEngine::quarantineReserveBytes = bytes;
    ThreatScannerEngine::quarantineReservePercent = percent;
}

// How many folder levels below its root a walk holds open; the default is 64.
CORVANE_EXPORT void ThreatScannerTest_SetHeldFolderLevels(unsigned long long levels)
{
    ThreatScannerEngine::heldFolderLevels = static_cast<std::size_t>(levels);
}

// A program that loads the test copy with CORVANE_TEST_WALK_PAUSE naming a file stops once its
// first walk has listed a folder: it writes "<file>.waiting" and waits (a minute at most) until
// the file exists. A test holds one run in the middle of its scan that way while it starts
// another.
namespace
{
std::string pauseFile;

void WaitForPauseFile(const char*)
{
    ThreatScannerEngine::walkListedHook = nullptr;
    std::ofstream(pauseFile + ".waiting").put('\n');
    std::error_code ignored;
    for (int waited = 0; waited < 6000 && !std::filesystem::exists(pauseFile, ignored); ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

const bool pauseSet = []
{
    if (const char* file = std::getenv("CORVANE_TEST_WALK_PAUSE"))
    {
        pauseFile = file;
        ThreatScannerEngine::walkListedHook = &WaitForPauseFile;
    }
    return true;
}();
} // namespace

// How many entries the result caches opened from now on keep; the default is a million.
CORVANE_EXPORT void ThreatScannerTest_SetCacheEntries(unsigned long long entries)
{
    ThreatScannerEngine::resultCacheEntries = static_cast<std::size_t>(entries);
}

// A program run with the test copy takes lower limits from CORVANE_TEST_ENGINE_LIMITS, a list
// of "<limit>=<value>" separated by commas ("MaxScanSize=65536,MaxScanTime=1"), so that a test
// can reach a limit with a small object.
namespace
{
const bool limitsSet = []
{
    std::istringstream list(
        std::getenv("CORVANE_TEST_ENGINE_LIMITS") ? std::getenv("CORVANE_TEST_ENGINE_LIMITS") : "");
    std::string item;
    while (std::getline(list, item, ','))
    {
        const std::size_t equals = item.find('=');
        if (equals != std::string::npos)
            ThreatScannerEngine::SetEngineLimitForTests(
                item.substr(0, equals), std::strtoull(item.c_str() + equals + 1, nullptr, 10));
    }
    return true;
}();
} // namespace
