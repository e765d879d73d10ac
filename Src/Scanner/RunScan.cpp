#include "JobGuard.h"
#include "Jobs.h"
#include "Scanner/Scanner.h"

namespace CorvaneCommandLineScanner
{
void RunScan(const ScanRequest& request)
{
    RunGuarded("Couldn't perform scan. Error: ",
               [&request]
               {
                   Scanner scanner;
                   scanner.Scan(request);
               });
}
} // namespace CorvaneCommandLineScanner
