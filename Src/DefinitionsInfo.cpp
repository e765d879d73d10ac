#include "Jobs.h"

namespace CorvaneCommandLineScanner
{
// The definitions information needs the engine, which is not wired up yet.
void PrintDefinitionsInfo() {}
} // namespace CorvaneCommandLineScanner
