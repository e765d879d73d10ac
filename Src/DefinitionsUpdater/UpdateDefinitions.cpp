#include "DefinitionsUpdater/DefinitionsUpdater.h"
#include "JobGuard.h"
#include "Jobs.h"

namespace CorvaneCommandLineScanner
{
void UpdateDefinitions()
{
    RunGuarded("Couldn't update definitions. Error: ",
               []
               {
                   DefinitionsUpdater updater;
                   updater.Start();
               });
}
} // namespace CorvaneCommandLineScanner
