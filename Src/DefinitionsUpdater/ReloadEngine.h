#pragma once

namespace CorvaneCommandLineScanner
{
// Starts the threat-scanner engine once and shuts it down again, so that it takes in newly
// installed definitions. Throws what the engine start-up throws.
void ReloadEngine();
} // namespace CorvaneCommandLineScanner
