// Starting programs and the process environment with the Windows interfaces.
#include "Installation.h"
#include "WinePrefix.h"

#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <windows.h>

namespace fs = boost::filesystem;

namespace CorvaneTest
{
namespace
{
std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return {};
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          size);
    return wide;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                          size, nullptr, nullptr);
    return narrow;
}

struct HandleCloser
{
    void operator()(void* handle) const
    {
        if (handle && handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// One argument quoted so that the C runtime's command line rules give it back unchanged:
// backslashes are literal except before a quote, where they (and the quote) are escaped.
std::wstring Quoted(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    for (auto character = argument.begin();; ++character)
    {
        std::size_t backslashes = 0;
        while (character != argument.end() && *character == L'\\')
        {
            ++character;
            ++backslashes;
        }
        if (character == argument.end())
        {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        if (*character == L'"')
            quoted.append(backslashes * 2 + 1, L'\\');
        else
            quoted.append(backslashes, L'\\');
        quoted.push_back(*character);
    }
    quoted.push_back(L'"');
    return quoted;
}

// Environment variable names compare without regard to letter case.
struct NameLess
{
    bool operator()(const std::wstring& left, const std::wstring& right) const
    {
        return ::CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                      static_cast<int>(right.size()), TRUE) == CSTR_LESS_THAN;
    }
};

// This process's environment with the given variables set, as a block for CreateProcessW.
std::wstring EnvironmentBlock(const std::map<std::string, std::string>& changes)
{
    std::map<std::wstring, std::wstring, NameLess> variables;
    if (wchar_t* strings = ::GetEnvironmentStringsW())
    {
        for (const wchar_t* entry = strings; *entry; entry += std::wcslen(entry) + 1)
        {
            // Names may start with '=' (the current folder of each drive).
            const std::wstring text(entry);
            const std::size_t equals = text.find(L'=', 1);
            if (equals != std::wstring::npos)
                variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
        ::FreeEnvironmentStringsW(strings);
    }
    for (const auto& [name, value] : changes)
        variables[Wide(name)] = Wide(value);
    std::wstring block;
    for (const auto& [name, value] : variables)
        block += name + L"=" + value + L'\0';
    block += L'\0';
    return block;
}

// An inheritable copy of a handle, closed with the object.
Handle Inheritable(HANDLE handle)
{
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &duplicate, 0,
                           TRUE, DUPLICATE_SAME_ACCESS))
        throw std::runtime_error("cannot duplicate a handle");
    return Handle(duplicate);
}

// Everything one pipe end brings, until every writer has closed it.
void ReadAll(HANDLE readEnd, std::string& text)
{
    char buffer[65536];
    DWORD count = 0;
    while (::ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr) && count > 0)
        text.append(buffer, count);
}

// A child inherits every inheritable handle of this process: the pipe ends are made inheritable
// only while their own child is being started, one start at a time, so that programs started
// concurrently do not hold each other's pipes open.
std::mutex processStart;
} // namespace

TemporaryFolder::TemporaryFolder()
{
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        const fs::path candidate = base / fs::unique_path("corvane-test-%%%%%%%%");
        if (fs::create_directory(candidate))
        {
            path = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

void SetEnvironment(const std::string& name, const std::string& value)
{
    // Both the system's copy (read by the system's own functions) and the C runtime's.
    ::SetEnvironmentVariableW(Wide(name).c_str(), Wide(value).c_str());
    ::_wputenv_s(Wide(name).c_str(), Wide(value).c_str());
}

void UnsetEnvironment(const std::string& name)
{
    ::SetEnvironmentVariableW(Wide(name).c_str(), nullptr);
    ::_wputenv_s(Wide(name).c_str(), L"");
}

std::optional<std::string> GetEnvironment(const std::string& name)
{
    const std::wstring wideName = Wide(name);
    const DWORD size = ::GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0)
        return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(wideName.c_str(), value.data(), size));
    return Narrow(value);
}

std::map<std::string, std::string> ProgramDataEnvironment(const fs::path& folder)
{
    std::map<std::string, std::string> variables = {{"PROGRAMDATA", Narrow(folder.wstring())}};
    if (PrepareWinePrefix())
        variables[WineProgramDataVariable] = Narrow(folder.wstring());
    return variables;
}

bool RunningOnWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

std::string ThisSystemOsType()
{
    // The releases a test machine (or Wine, as its prefix is set) reports.
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    const auto query = reinterpret_cast<GetVersion>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (!query || query(&version) != 0)
        throw std::runtime_error("cannot read the Windows version");
    const bool workstation = version.wProductType == VER_NT_WORKSTATION;
    const std::map<std::pair<DWORD, DWORD>, std::pair<const char*, const char*>> releases = {
        // (major, minor): (workstation, server)
        {{6, 1}, {"14", "13"}},
        {{6, 2}, {"15", "16"}},
        {{6, 3}, {"18", "17"}},
        {{10, 0}, {"19", "20"}},
    };
    const auto release = releases.find({version.dwMajorVersion, version.dwMinorVersion});
    if (release == releases.end())
        throw std::runtime_error("the tests know the OS types of Windows 7 to 11 only");
    return workstation ? release->second.first : release->second.second;
}

RunResult RunProgram(const fs::path& program, const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment)
{
    PrepareWinePrefix();
    HANDLE ends[4] = {};
    if (!::CreatePipe(&ends[0], &ends[1], nullptr, 0))
        throw std::runtime_error("cannot create a pipe");
    Handle outputReader(ends[0]);
    Handle outputWriter(ends[1]);
    if (!::CreatePipe(&ends[2], &ends[3], nullptr, 0))
        throw std::runtime_error("cannot create a pipe");
    Handle errorReader(ends[2]);
    Handle errorWriter(ends[3]);

    std::wstring commandLine = Quoted(program.wstring());
    for (const std::string& argument : arguments)
        commandLine += L" " + Quoted(Wide(argument));
    std::wstring block = EnvironmentBlock(environment);

    PROCESS_INFORMATION process{};
    {
        const std::lock_guard<std::mutex> lock(processStart);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const Handle input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inherit, OPEN_EXISTING, 0, nullptr));
        const Handle output = Inheritable(outputWriter.get());
        const Handle error = Inheritable(errorWriter.get());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.get();
        startup.hStdOutput = output.get();
        startup.hStdError = error.get();
        if (!::CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                              CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup,
                              &process))
            throw std::runtime_error("cannot start " + program.string() + ": error " +
                                     std::to_string(::GetLastError()));
    }
    Handle child(process.hProcess);
    Handle thread(process.hThread);
    // The pipes end when the child (and whatever inherited its ends) closes them.
    outputWriter.reset();
    errorWriter.reset();

    RunResult result;
    std::thread errorReading(ReadAll, errorReader.get(), std::ref(result.error));
    ReadAll(outputReader.get(), result.output);
    errorReading.join();
    ::WaitForSingleObject(child.get(), INFINITE);
    DWORD exitCode = 0;
    result.exitCode =
        ::GetExitCodeProcess(child.get(), &exitCode) ? static_cast<int>(exitCode) : -1;
    // Passed on, so that a failing test's log shows what the program said.
    std::cerr << result.error << std::flush;
    EXPECT_EQ(SanitizerReport(result.error), "") << program << " reported a fault";
    return result;
}
} // namespace CorvaneTest
