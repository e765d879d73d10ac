#include "JobGuard.h"
#include "Jobs.h"
#include "Scanner/Scanner.h"

#include "ProcessHelper/Interruption.h"

namespace CorvaneCommandLineScanner
{
void RunScan(const ScanRequest& request)
{
    RunGuarded("Couldn't perform scan. Error: ",
               [&request]
               {
                   // An interruption (Ctrl+C, SIGTERM, closing the console) while the engine
                   // starts or scans stops the scan; the report of what was found and done so
                   // far is still written and the engine's temporary files removed.
                   const JobEnvironment environment = RunEnvironment();
                   const auto stop = std::make_shared<StopSwitch>();
                   const ProcessHelper::Interruption interruption([stop] { stop->Request(); });
                   Scanner scanner(LoadEngine(environment.programFolder / "scan.dll"), environment,
                                   stop);
                   scanner.Scan(request);
               });
}
} // namespace CorvaneCommandLineScanner
