// The resident engine service on Windows: loads a definitions set once and scans the files that
// the engine library of the program's runs hands over on its named pipe.
//
//   CorvaneEngineService (--definitions <folder> | --installation <program folder>)
//                        --state <folder> [--pipe <name>] [--temp <folder>]
//   CorvaneEngineService --service [--definitions <folder> | --installation <program folder>]
//                        [--state <folder>] [--pipe <name>]
//   CorvaneEngineService --switch <pipe>
//
// --definitions names the definitions folder itself. --installation names the program folder of
// an installation instead: the service then serves the definitions wherever that installation's
// rule puts them (the machine's, for an installation for every user, once its first update has
// placed them there), looked up again at each switch.
// Run from a console it serves until Ctrl+C, or until its standard input closes when that is a
// pipe (so that the process that started it can end it). With --service it runs under the service
// control manager, which stops it; its folders default to the installation in the executable's
// folder and CorvaneEngineService under the all-users data folder, its pipe to the program's
// default.
// --switch asks a running service to load the set in its definitions folder again and to serve it
// once loaded; the exit status is 0 when the new set serves. It listens only once its set has
// loaded, so that a program run meanwhile loads the engine itself instead of waiting.
#include "FileSystem.h"
#include "Service.h"

#include "FileSystemHelper/Text.h"
#include "ProcessHelper/Process.h"
#include "ScanProtocol/Channel.h"

#include <aclapi.h>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <shellapi.h>
#include <string>
#include <vector>
#include <windows.h>

namespace
{
using namespace std::chrono_literals;

constexpr wchar_t serviceName[] = L"CorvaneEngineService";

HANDLE stopEvent = nullptr;

struct Options
{
    ThreatScannerService::Settings settings;
    std::string pipe = ScanProtocol::defaultEndpoint;
    bool underManager = false;
};
Options options;

std::string Utf8(const std::wstring& text)
{
    return FileSystemHelper::ToNarrow(text, FileSystemHelper::CodePageUtf8);
}

std::vector<std::string> Arguments()
{
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; wide && i < count; ++i)
        arguments.push_back(Utf8(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

int Usage(const std::string& message)
{
    std::cerr << message
              << "\nUsage: CorvaneEngineService (--definitions <folder> | --installation "
                 "<program folder>) --state <folder> [--pipe <name>] [--temp <folder>]\n"
                 "       CorvaneEngineService --service [--definitions <folder> | --installation "
                 "<program folder>] [--state <folder>] [--pipe <name>]\n"
                 "       CorvaneEngineService --switch <pipe>\n";
    return 2;
}

// The folder of this executable, or of the all-users data, as UTF-8; empty when unknown.
std::string ExecutableFolder()
{
    try
    {
        return Utf8(ProcessHelper::Process::Path(nullptr).parent_path().wstring());
    }
    catch (const std::exception&)
    {
        return {};
    }
}

std::string AllUsersDataFolder()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length =
        ::GetEnvironmentVariableW(L"ProgramData", buffer.data(), static_cast<DWORD>(buffer.size()));
    return length == 0 || length >= buffer.size() ? std::string()
                                                  : Utf8(std::wstring(buffer.data(), length));
}

// Lets administrators pass handles into this process and see who it runs as: the program's runs
// duplicate each file they hand over into it and check the account of the process that serves
// the pipe. The service's own account keeps the access it had.
bool OpenToAdministrators()
{
    PSID administrators = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                    0, 0, 0, 0, 0, &administrators))
        return false;
    const auto grant = [administrators](HANDLE object, DWORD rights)
    {
        PACL current = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &current, nullptr, &descriptor) != ERROR_SUCCESS)
            return false;
        EXPLICIT_ACCESSW access{};
        access.grfAccessPermissions = rights;
        access.grfAccessMode = GRANT_ACCESS;
        access.grfInheritance = NO_INHERITANCE;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
        access.Trustee.ptstrName = static_cast<LPWSTR>(administrators);
        PACL extended = nullptr;
        bool granted = ::SetEntriesInAclW(1, &access, current, &extended) == ERROR_SUCCESS &&
                       ::SetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, extended, nullptr) == ERROR_SUCCESS;
        ::LocalFree(extended);
        ::LocalFree(descriptor);
        return granted;
    };
    HANDLE token = nullptr;
    bool opened =
        grant(::GetCurrentProcess(), PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION) &&
        ::OpenProcessToken(::GetCurrentProcess(), READ_CONTROL | WRITE_DAC, &token);
    if (opened)
    {
        opened = grant(token, TOKEN_QUERY);
        ::CloseHandle(token);
    }
    ::FreeSid(administrators);
    return opened;
}

// Loads the definitions, then serves until the stop event. The exit status; ready is called once
// the pipe is served.
template <typename Ready> int Serve(Ready ready)
{
    ThreatScannerService::Settings& settings = options.settings;
    // Extracted archive members stay in a folder that only the service may enter.
    if (settings.tempFolder.empty())
        settings.tempFolder = ThreatScannerEngine::JoinPath(settings.stateFolder, "Temp");
    if (!ThreatScannerEngine::MakePrivateFolder(settings.stateFolder) ||
        !ThreatScannerEngine::MakePrivateFolder(settings.tempFolder))
    {
        std::cerr << "Couldn't create the state folder " << settings.stateFolder << "\n";
        return 1;
    }
    auto service = std::make_unique<ThreatScannerService::Service>(settings);
    if (const int status = service->Start(); status != 0)
    {
        std::cerr << "Couldn't load the definitions in "
                  << ThreatScannerService::DefinitionsFolder(settings) << ". Error: " << status
                  << "\n";
        return 1;
    }
    ThreatScannerService::Listener listener;
    listener.stop = reinterpret_cast<std::intptr_t>(stopEvent);
    if (!listener.pipe.Open(options.pipe))
    {
        std::cerr << "Couldn't serve the pipe " << options.pipe << " (error " << ::GetLastError()
                  << "): another process may serve it\n";
        return 1;
    }
    std::cerr << "Engine service ready" << std::endl;
    ready();
    if (!service->Run(listener))
    {
        // A scan that does not end holds the service: the process ends under it.
        std::cerr << "Connections still open at the end" << std::endl;
        std::fflush(nullptr);
        ::ExitProcess(0);
    }
    service.reset();
    return 0;
}

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0)
{
    static DWORD checkPoint = 1;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = waitHint;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : checkPoint++;
    ::SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, NO_ERROR, 60000);
        ::SetEvent(stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, wchar_t**)
{
    statusHandle = ::RegisterServiceCtrlHandlerExW(serviceName, OnControl, nullptr);
    if (!statusHandle)
        return;
    // Loading a real-size set takes tens of seconds.
    Report(SERVICE_START_PENDING, NO_ERROR, 300000);
    if (!OpenToAdministrators())
    {
        Report(SERVICE_STOPPED, ::GetLastError() ? ::GetLastError() : ERROR_ACCESS_DENIED);
        return;
    }
    const int result = Serve([] { Report(SERVICE_RUNNING); });
    Report(SERVICE_STOPPED, result == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR);
}

BOOL WINAPI OnConsoleControl(DWORD)
{
    ::SetEvent(stopEvent);
    return TRUE;
}

// Ends the service when its standard input, a pipe, closes.
DWORD WINAPI WatchInput(void*)
{
    char byte;
    DWORD count = 0;
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    while (::ReadFile(input, &byte, 1, &count, nullptr) && count > 0)
    {
    }
    ::SetEvent(stopEvent);
    return 0;
}
} // namespace

int main()
{
    const std::vector<std::string> arguments = Arguments();
    if (arguments.size() == 3 && arguments[1] == "--switch")
        return ThreatScannerService::AskForSwitch(arguments[2]);
    ThreatScannerService::Settings& settings = options.settings;
    for (std::size_t i = 1; i < arguments.size(); ++i)
    {
        const std::string& option = arguments[i];
        if (option == "--service")
        {
            options.underManager = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            return Usage("Missing value of " + option);
        const std::string& value = arguments[++i];
        if (option == "--pipe")
            options.pipe = value;
        else if (!ThreatScannerService::TakeFolderOption(settings, option, value))
            return Usage("Unknown option " + option);
    }
    if (options.underManager)
    {
        if (settings.definitionsFolder.empty() && settings.installationFolder.empty())
            settings.installationFolder = ExecutableFolder();
        if (settings.stateFolder.empty() && !AllUsersDataFolder().empty())
            settings.stateFolder =
                ThreatScannerEngine::JoinPath(AllUsersDataFolder(), "CorvaneEngineService");
    }
    if (const char* problem = ThreatScannerService::FolderProblem(settings))
        return Usage(problem);

    stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stopEvent)
        return 1;
    if (options.underManager)
    {
        SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(serviceName), ServiceMain},
                                        {nullptr, nullptr}};
        if (!::StartServiceCtrlDispatcherW(table))
        {
            std::cerr << "Not started by the service control manager (error " << ::GetLastError()
                      << ")\n";
            return 1;
        }
        return 0;
    }
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (::GetFileType(::GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_PIPE)
    {
        const HANDLE watcher = ::CreateThread(nullptr, 0, WatchInput, nullptr, 0, nullptr);
        if (watcher)
            ::CloseHandle(watcher);
    }
    return Serve([] {});
}
