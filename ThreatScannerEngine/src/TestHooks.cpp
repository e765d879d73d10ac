// Built only into the test copy of the library: lets a test pause the walk at a known point,
// tune and count the clean-result cache's work, and give the engine a mount table of its own.
#include "FileSystem.h"
#include "Session.h"
#include "SystemObjects.h"
#include "Walk.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

extern "C" ENGINE_EXPORT void ThreatScannerTest_SetWalkListedHook(void (*hook)(const char* folder))
{
    ThreatScannerEngine::walkListedHook = hook;
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
