#include "JobGuard.h"
#include "Jobs.h"

namespace CorvaneCommandLineScanner
{
void UpdateDefinitions()
{
    RunGuarded("Couldn't update definitions. Error: ",
               []
               {
                   // The definitions updater is not wired up yet.
               });
}
} // namespace CorvaneCommandLineScanner
