// Built only into the test copy of the library: lets a test pause the walk at a known point.
#include "Session.h"
#include "Walk.h"

extern "C" __attribute__((visibility("default"))) void
ThreatScannerTest_SetWalkListedHook(void (*hook)(const char* folder))
{
    ThreatScannerEngine::walkListedHook = hook;
}

// Lets a test keep the clean results of files it has just written.
extern "C" __attribute__((visibility("default"))) void
ThreatScannerTest_SetCacheSettleTime(long long nanoseconds)
{
    ThreatScannerEngine::cacheSettleNanoseconds = nanoseconds;
}

// The number of files the engine has read and scanned so far.
extern "C" __attribute__((visibility("default"))) unsigned long long
ThreatScannerTest_ScannedFiles()
{
    return ThreatScannerEngine::scannedFiles.load();
}
