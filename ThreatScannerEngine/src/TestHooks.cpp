// Built only into the test copy of the library: lets a test pause the walk and the scan at
// known points, count the files scanned, and give the engine a mount table of its own.
#include "FileSystem.h"
#include "Session.h"
#include "SystemObjects.h"
#include "Walk.h"

extern "C" ENGINE_EXPORT void ThreatScannerTest_SetWalkListedHook(void (*hook)(const char* folder))
{
    ThreatScannerEngine::walkListedHook = hook;
}

// Called with the path of each file just scanned with a detection, before its signature is
// checked.
extern "C" ENGINE_EXPORT void ThreatScannerTest_SetScannedHook(void (*hook)(const char* path))
{
    ThreatScannerEngine::scannedHook = hook;
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
