#include "DefinitionsUpdater/DefinitionsUpdater.h"

#include "ConsoleHelper/Printable.h"
#include "ExceptionHelper/Exception.h"
#include "FileSystemHelper/OutputFile.h"
#include "FileSystemHelper/Text.h"
#include "Logger.h"

#include <boost/exception/diagnostic_information.hpp>
#include <boost/filesystem/operations.hpp>
#include <sstream>

namespace CorvaneCommandLineScanner
{
namespace
{
// What the callback answers when it cannot handle an event.
constexpr int callbackFailure = -1;

// The 64-bit value an event points to; a library that sends no value is read as sending 0.
std::uint64_t ValueOf(const void* data)
{
    return data ? *static_cast<const std::uint64_t*>(data) : 0;
}

// The definitions of an installation for every user are the machine's, which only an
// administrator may change: a failed update there says so when this process may not write them.
void ExplainRights(const JobEnvironment& environment)
{
    if (environment.folders.perMachine && !environment.readOnly &&
        !FileSystemHelper::MayCreateIn(environment.folders.updateTarget))
        *environment.out << "Updating the definitions of this installation needs an "
                            "administrator: run it again as administrator\n";
}

// The folder whose Plugins folder the update replaces: the program folder, or the machine's
// data folder for an installation for every user (see InstallationFolders). A read-only
// installation writes nothing beside the executable, so there it is the engines folder, from
// which the read-only engine loads its definitions; that folder must hold a Plugins folder and
// must not be, or lie inside, the program folder. Otherwise the update is refused before
// anything is written.
std::wstring DefinitionsHome(const JobEnvironment& environment)
{
    const boost::filesystem::path& programFolder = environment.programFolder;
    if (!environment.readOnly)
    {
        const InstallationFolders& folders = environment.folders;
        if (folders.perMachine && !SeedDefinitions(programFolder, folders.updateTarget))
        {
            ExplainRights(environment);
            BOOST_THROW_EXCEPTION(
                ExceptionHelper::Exception("Couldn't copy the starter definitions"));
        }
        return FileSystemHelper::WidePath(folders.updateTarget);
    }
    namespace fs = boost::filesystem;
    const fs::path engines = FileSystemHelper::PathFromWide(environment.enginesFolder);
    boost::system::error_code error;
    const fs::path canonicalEngines = fs::canonical(engines, error);
    if (error || !fs::is_directory(canonicalEngines / "Plugins", error))
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception(
            "Couldn't find definitions in the engines folder of a read-only installation"));
    const fs::path canonicalProgram = fs::canonical(programFolder, error);
    for (fs::path folder = canonicalEngines; !folder.empty(); folder = folder.parent_path())
    {
        if (error || folder == canonicalProgram)
            BOOST_THROW_EXCEPTION(ExceptionHelper::Exception(
                "Couldn't update definitions in the program folder of a read-only installation"));
        if (folder == folder.root_path())
            break;
    }
    return environment.enginesFolder;
}

std::string WithCode(const char* sentence, int code)
{
    std::ostringstream message;
    message << sentence << code;
    return message.str();
}
} // namespace

UpdateLibrary LoadUpdateLibrary(const boost::filesystem::path& path)
{
    return UpdateLibrary::Load(path, [](auto find) { return UpdSdk::BindExports(find); });
}

DefinitionsUpdater::DefinitionsUpdater(const JobEnvironment& jobEnvironment,
                                       const std::function<UpdateLibrary()>& load,
                                       std::function<void()> reload)
    : environment(jobEnvironment), out(environment.out), reloadEngine(std::move(reload)),
      progress(*environment.out)
{
    std::wstring localPath = DefinitionsHome(environment);
    library = load();

    UpdateServiceInterface* const created = library->Create();
    if (!created)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't create definitions updater"));

    // The object goes back to the library that made it. The deleter holds the library itself, so
    // the library cannot be freed before the object is gone.
    service.reset(created, [library = library](UpdateServiceInterface* object)
                  { library->Destroy(object); });

    std::string serverUrl = environment.definitionsServerUrl;
    static_assert(sizeof(bool) == 1, "the library reads its flags as single bytes");
    bool useVersionId = true;
    bool usePatches = true;
    UpdSdk::Callback* const callback = &UpdateCallback;

    SetOption(UpdSdk::OptionServer, serverUrl.data(), "Couldn't set server option");
    SetOption(UpdSdk::OptionLocalPath, localPath.data(), "Couldn't set local path option");
    SetOption(UpdSdk::OptionUseVersionId, &useVersionId, "Couldn't set use version id option");
    SetOption(UpdSdk::OptionUsePatches, &usePatches, "Couldn't set use patches option");
    SetOption(UpdSdk::OptionUpdateCallback, reinterpret_cast<void*>(callback),
              "Couldn't set update callback");
    SetOption(UpdSdk::OptionUpdateCallbackContext, &progress,
              "Couldn't set update callback context");
    // Only a help: a library that cannot hand the new set to the engine service installs without.
    if (!environment.engineService.empty())
    {
        std::wstring socket =
            FileSystemHelper::WidePath(boost::filesystem::path(environment.engineService));
        service->SetOption(UpdSdk::OptionEngineService, socket.data());
    }
}

void DefinitionsUpdater::SetOption(UpdSdk::Option option, void* value, const char* refusal)
{
    if (service->SetOption(option, value) != 0)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception(refusal));
}

void DefinitionsUpdater::Start()
{
    int code = service->Update();
    if (code != 0)
    {
        ExplainRights(environment);
        BOOST_THROW_EXCEPTION(
            ExceptionHelper::Exception(WithCode("Couldn't perform update. Error: ", code)));
    }
    if (!progress.InstallPending())
        return;

    *out << "Applying definitions started\n";
    code = service->Install();
    if (code != 0)
    {
        ExplainRights(environment);
        BOOST_THROW_EXCEPTION(
            ExceptionHelper::Exception(WithCode("Couldn't perform install. Error: ", code)));
    }
    reloadEngine();
    *out << "Applying definitions done\n";
}

int UpdateCallback(int code, void* data, void* context)
{
    // Nothing may be thrown from here: the library's frames lie between this function and any
    // handler. A failure is logged and answered with a failure code instead.
    try
    {
        if (!context)
        {
            Log(L"Error", "No self");
            return callbackFailure;
        }
        return static_cast<UpdateProgress*>(context)->OnEvent(code, data);
    }
    catch (...)
    {
        try
        {
            Log(L"Error", boost::current_exception_diagnostic_information());
        }
        catch (...)
        {
        }
        return callbackFailure;
    }
}

int UpdateProgress::OnEvent(int code, void* data)
{
    std::ostream& out = *this->out;
    switch (code)
    {
    case UpdSdk::EventCheckingForUpdate:
        out << "Checking for update...\n";
        break;
    case UpdSdk::EventDownloadDone:
        out << "Downloading definitions done\n";
        break;
    case UpdSdk::EventUpToDate:
        out << "Definitions up to date\n";
        break;
    case UpdSdk::EventFileName:
        // The name comes from the update library: shown printable, so it cannot break the line or
        // reach the terminal as a control sequence.
        currentFile =
            data ? FileSystemHelper::ToNarrow(
                       ConsoleHelper::Printable(FileSystemHelper::ToWide(
                           static_cast<const char*>(data), FileSystemHelper::CodePageUtf8)),
                       FileSystemHelper::CodePageUtf8)
                 : "";
        break;
    case UpdSdk::EventTotalBytes:
        totalBytes = ValueOf(data);
        break;
    case UpdSdk::EventBytesDone:
        // Formatted here rather than by the stream, so no locale can group the digits.
        out << "Downloading: " << std::to_string(ValueOf(data)) << " of "
            << std::to_string(totalBytes) << " bytes. File: " << currentFile << '\n';
        break;
    case UpdSdk::EventRetryQuery1:
    case UpdSdk::EventRetryQuery2:
    case UpdSdk::EventRetryQuery3:
        if (retriesLeft > 0)
        {
            --retriesLeft;
            return 1;
        }
        return 0;
    case UpdSdk::EventInstallPending:
        installPending = ValueOf(data);
        break;
    default:
        break;
    }
    return 0;
}
} // namespace CorvaneCommandLineScanner
