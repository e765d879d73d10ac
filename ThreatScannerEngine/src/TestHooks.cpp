// Built only into the test copy of the library: lets a test pause the walk at a known point,
// tune and count the clean-result cache's work, and give the engine a mount table of its own.
#include "FileSystem.h"
#include "Session.h"
#include "SystemObjects.h"
#include "Walk.h"

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
