#include "DefinitionsUpdater/ReloadEngine.h"

#include "Scanner/Scanner.h"

namespace CorvaneCommandLineScanner
{
void ReloadEngine(const JobEnvironment& environment)
{
    // Constructing the scanner loads and initialises the engine, or has the engine service
    // switch to the new set; destroying it at once uninitialises and frees it.
    // The new set is where the update put it, also when the engine was started on the starter
    // set of an installation for every user.
    JobEnvironment updated = environment;
    if (!updated.readOnly)
        updated.folders.definitions = updated.folders.updateTarget;
    Scanner scanner(LoadEngine(environment.programFolder / "scan.dll"), updated,
                    Scanner::SwitchDefinitions{});
}
} // namespace CorvaneCommandLineScanner
