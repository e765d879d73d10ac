#include "JobGuard.h"
#include "Jobs.h"

namespace CorvaneCommandLineScanner
{
void RunScan(const ScanRequest& /*request*/)
{
    RunGuarded("Couldn't perform scan. Error: ",
               []
               {
                   // The scanner is not wired up yet.
               });
}
} // namespace CorvaneCommandLineScanner
