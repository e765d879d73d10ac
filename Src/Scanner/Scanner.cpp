#include "Scanner/Scanner.h"
#include "Logger.h"
#include "Scanner/EngineCodeNames.h"

#include "ConsoleHelper/DateTime.h"
#include "FileSystemHelper/OutputFile.h"
#include "FileSystemHelper/Text.h"
#include "ProcessHelper/Process.h"

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <sstream>

namespace CorvaneCommandLineScanner
{
namespace
{
// Passed to both start-up exports; the engine reads it as the name of its client.
const wchar_t* const engineClientName = L"Corvane command line scanner";
// Identifies this program to the engine's shared services.
const wchar_t* const engineClientGuid = L"5d1f0c7a-93e2-4b6d-8a41-2c7e9b0f6d38";

// The second start-up string: the client's name, and the engine service's socket when one is set.
// After an install, a service is asked to switch to the new definitions.
std::wstring StartupText(const std::string& service, bool switchDefinitions)
{
    std::wstring text = engineClientName;
    if (service.empty())
        return text;
    if (switchDefinitions)
        text += std::wstring(L"; ") + ThreatScanner::EngineSwitchKey;
    return text + L"; " + ThreatScanner::EngineServiceKey +
           FileSystemHelper::WidePath(boost::filesystem::path(service));
}

std::string NarrowName(std::int32_t result)
{
    return FileSystemHelper::ToNarrow(EngineResultName(result), FileSystemHelper::CodePageAnsi);
}

// The engine keeps a plug-in cache file; it must exist before start-up. The Plugins folder
// itself belongs to the definitions and is not created here.
void EnsureCacheFile(const boost::filesystem::path& cacheFile)
{
    boost::system::error_code error;
    const boost::filesystem::file_status status = boost::filesystem::status(cacheFile, error);
    if (error && status.type() != boost::filesystem::file_not_found)
    {
        Log(L"Error", "Couldn't create cache file");
        return;
    }
    if (boost::filesystem::exists(status))
        return;
    if (std::FILE* file =
            FileSystemHelper::CreateNewFile(cacheFile, FileSystemHelper::Access::Shared, "wb"))
        std::fclose(file);
}
} // namespace

EngineLibrary LoadEngine(const boost::filesystem::path& path)
{
    return EngineLibrary::Load(path, [](auto find) { return ThreatScanner::BindExports(find); });
}

Scanner::Scanner(EngineLibrary boundEngine, const JobEnvironment& jobEnvironment,
                 std::shared_ptr<StopSwitch> stopSwitch)
    : engine(std::move(boundEngine)), environment(jobEnvironment), stop(std::move(stopSwitch))
{
    if (environment.readOnly)
        Init();
    else
        InitEx();
}

Scanner::Scanner(EngineLibrary boundEngine, const JobEnvironment& jobEnvironment, SwitchDefinitions)
    : engine(std::move(boundEngine)), environment(jobEnvironment),
      stop(std::make_shared<StopSwitch>()), switchDefinitions(true)
{
    if (environment.readOnly)
        Init();
    else
        InitEx();
}

Scanner::~Scanner()
{
    engine->Uninitialize();
    // Only this run's folder goes; Temp itself only when no other run uses it.
    runFolder.reset();
}

void Scanner::Init()
{
    *environment.out << "Initializing engine, please wait...\n";
    const std::wstring startup = StartupText(environment.engineService, switchDefinitions);
    const int result = engine->Initialize(environment.enginesFolder.c_str(), startup.c_str());
    if (result != 0)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't initialize scanner. Error: " +
                                                         NarrowName(result)));
    *environment.out << "Initializing engine completed\n";
}

void Scanner::InitEx()
{
    // The engine loads the definitions in base's Plugins folder.
    const boost::filesystem::path& base = environment.folders.definitions;
    const boost::filesystem::path& state = environment.folders.state;
    // What runs that ended without cleaning up (killed, crashed) left in Temp goes first. Each
    // run gets a folder of its own there for the engine's files, held while it runs, so that
    // runs at the same time never remove each other's files. Without one the engine uses the
    // system's temporary folder.
    FileSystemHelper::RemoveAbandonedRunFolders(state / "Temp", "run-");
    runFolder = std::make_unique<FileSystemHelper::RunFolder>(
        state / "Temp", "run-" + std::to_string(ProcessHelper::Process::CurrentId()) + "-");
    tempFolder = FileSystemHelper::WidePath(runFolder->Path());
    const boost::filesystem::path& quarantine = environment.folders.quarantine;
    // It holds what the scan moved there: it is the owner's alone, like Temp.
    FileSystemHelper::CreatePrivateFolder(quarantine);

    const std::wstring baseFolder = FileSystemHelper::WidePath(base);
    const std::wstring quarantineFolder = FileSystemHelper::WidePath(quarantine);
    std::wstring smartDbPath =
        FileSystemHelper::WidePath(environment.programFolder / "SmartDB.dll");
    const std::wstring guid = engineClientGuid;

    _InitializeParams params = {};
    params.size = sizeof(_InitializeParams);
    params.programFolder = baseFolder.c_str();
    params.quarantineFolder = quarantineFolder.c_str();
    params.tempFolder = tempFolder.c_str();
    params.value40 = 0;
    params.value116 = 1;
    params.instanceGuid = guid.c_str();

    const std::wstring startup = StartupText(environment.engineService, switchDefinitions);
    *environment.out << "Initializing engine, please wait...\n";
    EnsureCacheFile(base / "Plugins" / "cache.000");
    const int result =
        engine->InitializeEx(baseFolder.c_str(), startup.c_str(), smartDbPath.data(), &params);
    if (result != 0)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't initialize scanner. Error: " +
                                                         NarrowName(result)));
    *environment.out << "Initializing engine completed\n";
}

CThreatScannerStruct* Scanner::CreateScanner(ScanCollector& collector)
{
    CThreatScannerStruct* instance = nullptr;
    const int result = engine->CreateInstance(&instance);
    if (result != 0)
    {
        std::ostringstream message;
        message << "Couldn't create scanner. Error: " << result;
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception(message.str()));
    }
    for (const ThreatScanner::OptionSetting& setting : ThreatScanner::InstanceSetupOptions)
        engine->SetIntOption(instance, setting.option, setting.value);
    engine->SetScanCallback2(instance, &ScanCallback, &collector);
    for (const int option : ThreatScanner::InstanceEnabledOptions)
        engine->SetIntOption(instance, option, 1);
    return instance;
}

Scanner::Instance Scanner::Own(CThreatScannerStruct* instance) const
{
    // The owner keeps the library loaded until the instance is gone.
    return Instance(instance,
                    [engine = engine, stop = stop](CThreatScannerStruct* handle)
                    {
                        stop->Detach(handle);
                        const int result = engine->DestroyInstance(handle);
                        if (result != 0)
                            Log(L"Error", "Couldn't destroy scanner instance. Error: ",
                                EngineResultName(result));
                    });
}

void Scanner::GetDatabaseInformation(std::uint32_t& version, std::wstring& releaseDate)
{
    CThreatScannerStruct* handle = nullptr;
    const int created = engine->CreateInstance(&handle);
    if (created != 0)
    {
        Log(L"Error", "Couldn't create scanner. Error: ", EngineResultName(created));
        return;
    }
    const Instance instance = Own(handle);

    std::uint32_t newVersion = 0;
    std::uint32_t seconds = 0;
    const int result = engine->GetDatabaseInformation(instance.get(), &newVersion, &seconds);
    if (result != 0)
    {
        Log(L"Error", "Couldn't get database information. Error: ", EngineResultName(result));
        return;
    }
    version = newVersion;
    try
    {
        releaseDate = ConsoleHelper::LocalDateTime(static_cast<double>(seconds));
    }
    catch (const std::exception&)
    {
        Log(L"Error", "Couldn't convert iso time to local");
    }
}
} // namespace CorvaneCommandLineScanner
