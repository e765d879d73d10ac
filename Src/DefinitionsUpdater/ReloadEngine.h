#pragma once

#include "JobEnvironment.h"

namespace CorvaneCommandLineScanner
{
// Starts the threat-scanner engine of the program folder once and shuts it down again, so that
// it takes in newly installed definitions. Throws what loading the library and the engine
// start-up throw.
void ReloadEngine(const JobEnvironment& environment);
} // namespace CorvaneCommandLineScanner
