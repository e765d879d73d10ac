#include "DefinitionsUpdater/DefinitionsUpdater.h"
#include "DefinitionsUpdater/ReloadEngine.h"
#include "JobGuard.h"
#include "Jobs.h"

namespace CorvaneCommandLineScanner
{
void UpdateDefinitions()
{
    RunGuarded(
        "Couldn't update definitions. Error: ",
        []
        {
            const JobEnvironment environment = RunEnvironment();
            DefinitionsUpdater updater(
                environment,
                [&environment]
                { return LoadUpdateLibrary(environment.programFolder / "UpdateServiceCom.dll"); },
                [&environment] { ReloadEngine(environment); });
            updater.Start();
        });
}
} // namespace CorvaneCommandLineScanner
