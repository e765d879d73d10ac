// Built only into the test copy of the library: lets a test pause the walk at a known point and
// give the engine a mount table of its own.
#include "SystemObjects.h"
#include "Walk.h"

extern "C" __attribute__((visibility("default"))) void
ThreatScannerTest_SetWalkListedHook(void (*hook)(const char* folder))
{
    ThreatScannerEngine::walkListedHook = hook;
}

// A null path restores the system's table.
extern "C" __attribute__((visibility("default"))) void
ThreatScannerTest_SetMountTable(const char* path)
{
    ThreatScannerEngine::mountTablePath = path ? path : "/proc/self/mounts";
}
