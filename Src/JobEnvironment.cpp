#include "JobEnvironment.h"
#include "BuildSettings.h"
#include "CommandLineOptions.h"
#include "Folders.h"
#include "Settings.h"

#include "ConsoleHelper/Console.h"

namespace CorvaneCommandLineScanner
{
namespace
{
// The command line is read a second time for this one switch; a line that does not parse the
// second time asks for nothing.
bool ResultToStandardOutput()
{
    try
    {
        return CommandLineOptions().ScanResultStdout();
    }
    catch (const InvalidCommandLine&)
    {
        return false;
    }
}

// An installation may name its own source in config.ini: a private mirror of the official
// signature databases, or the folder the distribution's updater keeps them in.
std::string DefinitionsServerUrl()
{
    const std::string& configured = Settings::Instance().definitionsServer;
    return configured.empty() ? BuildSettings::DefinitionsServerUrl() : configured;
}
} // namespace

JobEnvironment RunEnvironment()
{
    JobEnvironment environment;
    environment.programFolder = ProgramFolder();
    environment.folders = RunFolders();
    environment.readOnly = Settings::Instance().readOnly;
    environment.enginesFolder = Settings::Instance().enginesFolder;
    environment.engineService = Settings::Instance().engineService;
    environment.definitionsServerUrl = DefinitionsServerUrl();
    environment.out = &ConsoleHelper::Out();
    environment.wideOut = &ConsoleHelper::WideOut();
    environment.resultToStdout = ResultToStandardOutput();
    return environment;
}
} // namespace CorvaneCommandLineScanner
