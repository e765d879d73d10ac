// Under Wine the tools are Linux programs. Wine starts a program that is not a Windows program
// as a Linux process of its own, without handles to wait on or to read from: a shell started
// that way runs the tool and leaves its exit code (or, for a background tool, its process id) in
// a file that the test waits for.
#include "HarnessPlatform.h"

#include "Installation.h"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <windows.h>

namespace fs = boost::filesystem;

namespace UpdateLibraryTesting::Platform
{
namespace
{
// A background tool ends by itself after this long, should the test that started it die first.
constexpr const char* ToolLifetime = "900";

// One argument as the C runtime's command line rules give it back (Wine splits the command line
// of a Linux program by the same rules).
std::wstring Quoted(const std::string& argument)
{
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, argument.data(),
                                           static_cast<int>(argument.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, argument.data(), static_cast<int>(argument.size()),
                          wide.data(), size);
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t character : wide)
    {
        if (character == L'\\')
        {
            ++backslashes;
            continue;
        }
        quoted.append(character == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(character);
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

// Starts the Linux shell with a script and its arguments ($1...).
void StartShell(const std::string& script, const std::vector<std::string>& arguments)
{
    const std::wstring shell = L"Z:\\bin\\sh";
    std::wstring commandLine = shell + L" -c " + Quoted(script) + L" sh";
    for (const std::string& argument : arguments)
        commandLine += L" " + Quoted(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(shell.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process))
        throw std::runtime_error("cannot start the build machine's shell: error " +
                                 std::to_string(::GetLastError()));
}

// Waits for a file that a tool writes (renamed into place when complete) and reads it.
std::string WaitForFile(const fs::path& file, std::chrono::seconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!fs::exists(file))
    {
        if (std::chrono::steady_clock::now() > end)
            throw std::runtime_error("a tool of the build machine did not answer");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return CorvaneTest::ReadFile(file);
}
} // namespace

std::string ToolPath(const fs::path& path)
{
    using UnixFileName = char*(CDECL*)(const wchar_t*);
    static const auto convert = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert)
        throw std::runtime_error("the tests run under Wine only");
    const fs::path full = fs::absolute(path);
    char* name = convert(full.wstring().c_str());
    if (!name)
        throw std::runtime_error("no Linux path for " + full.string());
    std::string result(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return result;
}

int RunTool(const std::string& program, const std::vector<std::string>& arguments)
{
    const CorvaneTest::TemporaryFolder folder;
    const fs::path exitFile = folder.Path() / "exit";
    std::vector<std::string> all = {ToolPath(exitFile), program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    StartShell(R"(exit="$1"; shift; "$@" >/dev/null 2>&1; echo $? >"$exit.part"; )"
               R"(mv "$exit.part" "$exit")",
               all);
    return std::stoi(WaitForFile(exitFile, std::chrono::seconds(120)));
}

ToolProcess::ToolProcess(const std::string& program, const std::vector<std::string>& arguments)
{
    idFile = fs::temp_directory_path() / fs::unique_path("corvane-tool-%%%%%%%%.id");
    std::vector<std::string> all = {ToolPath(idFile), ToolLifetime, program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    StartShell(R"(echo $$ >"$1.part"; mv "$1.part" "$1"; shift; )"
               R"(exec timeout "$@" </dev/null >/dev/null 2>&1)",
               all);
    id = std::stoll(WaitForFile(idFile, std::chrono::seconds(60)));
}

bool ToolProcess::Running()
{
    if (id > 0 && RunTool("/bin/kill", {"-0", std::to_string(id)}) != 0)
        id = -1;
    return id > 0;
}

void ToolProcess::Stop()
{
    if (id > 0)
    {
        RunTool("/bin/kill", {std::to_string(id)});
        // The tool's port must be free again when Stop returns.
        while (RunTool("/bin/kill", {"-0", std::to_string(id)}) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        id = -1;
    }
    boost::system::error_code ignored;
    fs::remove(idFile, ignored);
}

HeldFile::HeldFile(const fs::path& file)
{
    const HANDLE opened = ::CreateFileW(file.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + file.string());
    handle = reinterpret_cast<long long>(opened);
}

HeldFile::~HeldFile()
{
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

std::string HeldFile::Read() const
{
    std::string content;
    char buffer[4096];
    OVERLAPPED at{};
    DWORD count = 0;
    while (::ReadFile(reinterpret_cast<HANDLE>(handle), buffer, sizeof buffer, &count, &at) &&
           count > 0)
    {
        content.append(buffer, count);
        at.Offset = static_cast<DWORD>(content.size());
    }
    return content;
}

bool SwapsFolders()
{
    return false;
}

bool Killed(int exitCode)
{
    // The kill points end the process with this code.
    return exitCode == 137;
}
} // namespace UpdateLibraryTesting::Platform
