#include "DefinitionsUpdater/ReloadEngine.h"

#include "Scanner/Scanner.h"

namespace CorvaneCommandLineScanner
{
void ReloadEngine(const JobEnvironment& environment)
{
    // Constructing the scanner initialises the engine; destroying it at once uninitialises and
    // frees it.
    Scanner scanner(LoadEngine(environment.programFolder / "scan.dll"), environment);
}
} // namespace CorvaneCommandLineScanner
