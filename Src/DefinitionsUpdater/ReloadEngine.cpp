#include "DefinitionsUpdater/ReloadEngine.h"

#include "Scanner/Scanner.h"

namespace CorvaneCommandLineScanner
{
void ReloadEngine(const JobEnvironment& environment)
{
    // Constructing the scanner loads and initialises the engine, or has the engine service
    // switch to the new set; destroying it at once uninitialises and frees it.
    Scanner scanner(LoadEngine(environment.programFolder / "scan.dll"), environment,
                    Scanner::SwitchDefinitions{});
}
} // namespace CorvaneCommandLineScanner
