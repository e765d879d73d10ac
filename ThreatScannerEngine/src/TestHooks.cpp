// Built only into the test copy of the library: lets a test pause the walk at a known point.
#include "Walk.h"

extern "C" __attribute__((visibility("default"))) void
ThreatScannerTest_SetWalkListedHook(void (*hook)(const char* folder))
{
    ThreatScannerEngine::walkListedHook = hook;
}
