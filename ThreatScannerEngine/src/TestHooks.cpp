// Built only into the test copy of the library: lets a test pause the walk at a known point,
// tune and count the clean-result cache's work, give the engine a mount table of its own, and
// tune the walk's and the quarantine's bounds.
#include "Actions.h"
#include "FileScan.h"
#include "FileSystem.h"
#include "Session.h"
#include "SystemObjects.h"
#include "Walk.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

extern "C" ENGINE_EXPORT void ThreatScannerTest_SetWalkListedHook(void (*hook)(const char* folder))
{
    ThreatScannerEngine::walkListedHook = hook;
}

extern "C" ENGINE_EXPORT void ThreatScannerTest_SetBlockedOpenHook(bool (*hook)(const char* name))
{
    ThreatScannerEngine::blockedOpenHook = hook;
}

// Lets a test keep the clean results of files it has just written.
extern "C" ENGINE_EXPORT void ThreatScannerTest_SetCacheSettleTime(long long nanoseconds)
{
    ThreatScannerEngine::cacheSettleNanoseconds = nanoseconds;
}

// The number of files the engine has read and scanned so far.
extern "C" ENGINE_EXPORT unsigned long long ThreatScannerTest_ScannedFiles()
{
    return ThreatScannerEngine::scannedFiles.load();
}

// A null path restores the system's table.
extern "C" ENGINE_EXPORT void ThreatScannerTest_SetMountTable(const char* path)
{
    ThreatScannerEngine::mountTablePath = path ? path : "/proc/self/mounts";
}

// The free space a quarantine copy must leave; the defaults are 256 MiB and 2 %.
extern "C" ENGINE_EXPORT void ThreatScannerTest_SetQuarantineReserve(unsigned long long bytes,
                                                                     unsigned int percent)
{
    ThreatScannerEngine::quarantineReserveBytes = bytes;
    ThreatScannerEngine::quarantineReservePercent = percent;
}

// How many folder levels below its root a walk holds open; the default is 64.
extern "C" ENGINE_EXPORT void ThreatScannerTest_SetHeldFolderLevels(unsigned long long levels)
{
    ThreatScannerEngine::heldFolderLevels = static_cast<std::size_t>(levels);
}
