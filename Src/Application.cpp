#include "Application.h"
#include "Jobs.h"
#include "Logger.h"
#include "Settings.h"

#include "ConsoleHelper/Console.h"
#include "ConsoleHelper/Printable.h"
#include "FileSystemHelper/Text.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace CorvaneCommandLineScanner
{
ScanRequest BuildScanRequest(const CommandLineOptions& options)
{
    ScanRequest request;
    if (options.Quick())
        request.scanType = ScanType::Quick;
    else if (options.Full())
        request.scanType = ScanType::Full;
    else if (options.Custom())
        request.scanType = ScanType::Custom;
    else
        request.scanType = ScanType::Boot;
    if (request.scanType == ScanType::Custom)
    {
        request.paths = options.CustomPaths();
        request.scanArchives = options.ScanArchives();
    }
    request.action = options.Action();
    request.resultPath = options.ScanResultPath();
    return request;
}

namespace
{
void RunJob(const CommandLineOptions& options)
{
    if (options.ProductInfo())
        PrintProductInfo();
    else if (options.DefinitionsInfo())
        PrintDefinitionsInfo();
    else if (options.UpdateDefs())
        UpdateDefinitions();
    else if (options.UpdateApp())
        CheckApplicationUpdate();
    else if (options.Quick() || options.Full() || options.Custom() || options.Boot())
        RunScan(BuildScanRequest(options));
}
} // namespace

void RunApplication()
{
    const boost::posix_time::ptime start = boost::posix_time::microsec_clock::local_time();
    try
    {
        const CommandLineOptions options;
        if (!Settings::Instance().readOnly)
            Logger::Instance().Init();
        if (options.Help())
            ConsoleHelper::Out() << options.HelpText();
        else
            RunJob(options);
    }
    catch (const InvalidCommandLine& error)
    {
        // The parser's message quotes the offending argument (UTF-8), which may hold control
        // characters: it is shown as printable text like every other outside text.
        ConsoleHelper::WideOut() << ConsoleHelper::Printable(FileSystemHelper::ToWide(
                                        error.Message(), FileSystemHelper::CodePageUtf8))
                                 << std::endl;
        ConsoleHelper::Out() << error.HelpText();
    }
    catch (const std::exception& error)
    {
        // Errors outside the job wrappers (allocation failures and the like) still end the
        // run normally, with the reason on the console.
        ConsoleHelper::Out() << "Unexpected error: " << error.what() << std::endl;
    }
    const boost::posix_time::ptime end = boost::posix_time::microsec_clock::local_time();
    ConsoleHelper::Out() << "Request duration: " << (end - start) << std::endl;
}
} // namespace CorvaneCommandLineScanner
