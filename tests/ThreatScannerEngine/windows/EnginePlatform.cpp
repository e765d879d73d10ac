// The Windows half of the engine tests' harness: the engine service on a pipe of its own.
#include "EngineHarness.h"

#include "Installation.h"
#include "ScanProtocol/Channel.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <windows.h>

namespace EngineTest
{
namespace
{
HANDLE HandleOf(long long value)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

long long ValueOf(HANDLE handle)
{
    return static_cast<long long>(reinterpret_cast<std::intptr_t>(handle));
}

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}
} // namespace

bool EngineService::Enabled()
{
    return CorvaneTest::GetEnvironment("CORVANE_TEST_ENGINE_SERVICE").has_value();
}

EngineService::EngineService(const fs::path& definitions, const fs::path& folder,
                             const std::string& folderOption)
    : state(folder / "ServiceState"), errors(folder / "service-errors.txt")
{
    static std::atomic<unsigned> count{0};
    socket = "\\\\.\\pipe\\corvane-engine-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
             std::to_string(count++);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!::CreatePipe(&reader, &writer, &inherit, 0))
        throw std::runtime_error("cannot create the service's input pipe");
    ::SetHandleInformation(writer, HANDLE_FLAG_INHERIT, 0);
    input = ValueOf(writer);
    const HANDLE output = ::CreateFileW(errors.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        &inherit, CREATE_ALWAYS, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE)
    {
        ::CloseHandle(reader);
        throw std::runtime_error("cannot create the service's error file");
    }
    const fs::path program = ENGINE_SERVICE_PATH;
    std::wstring commandLine = Quoted(program.wstring()) + L" " +
                               std::wstring(folderOption.begin(), folderOption.end()) + L" " +
                               Quoted(definitions.wstring()) + L" --state " +
                               Quoted(state.wstring()) + L" --pipe " + Quoted(socket.wstring());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = reader;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION started{};
    const bool ran = ::CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr,
                                      nullptr, TRUE, 0, nullptr, nullptr, &startup, &started);
    ::CloseHandle(reader);
    ::CloseHandle(output);
    if (!ran)
    {
        ::CloseHandle(writer);
        input = -1;
        throw std::runtime_error("cannot start the engine service");
    }
    ::CloseHandle(started.hThread);
    process = ValueOf(started.hProcess);
    // Ready once it greets.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (ScanProtocol::ConnectAndGreet(socket.string(), std::chrono::seconds(1)).Get() == -1)
    {
        if (::WaitForSingleObject(started.hProcess, 0) == WAIT_OBJECT_0)
        {
            Kill();
            throw std::runtime_error("the engine service ended at start: " +
                                     CorvaneTest::ReadFile(errors));
        }
        if (std::chrono::steady_clock::now() > deadline)
        {
            Kill();
            throw std::runtime_error("the engine service did not answer");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void EngineService::Kill()
{
    if (input != -1)
        ::CloseHandle(HandleOf(input));
    input = -1;
    if (process == -1)
        return;
    ::TerminateProcess(HandleOf(process), 1);
    ::WaitForSingleObject(HandleOf(process), INFINITE);
    ::CloseHandle(HandleOf(process));
    process = -1;
}

EngineService::~EngineService()
{
    if (process == -1)
        return;
    ::CloseHandle(HandleOf(input));
    input = -1;
    const bool ended = ::WaitForSingleObject(HandleOf(process), 60000) == WAIT_OBJECT_0;
    DWORD status = 0;
    ::GetExitCodeProcess(HandleOf(process), &status);
    if (!ended)
        ::TerminateProcess(HandleOf(process), 1);
    ::CloseHandle(HandleOf(process));
    process = -1;
    const std::string output = CorvaneTest::ReadFile(errors);
    EXPECT_TRUE(ended && status == 0)
        << "the engine service ended with status " << status << ": " << output;
    EXPECT_EQ(CorvaneTest::SanitizerReport(output), "");
}
} // namespace EngineTest

namespace EngineTest
{
ScanProtocol::OwnedDescriptor EngineService::Connect() const
{
    return ScanProtocol::Connect(socket.string(), std::chrono::seconds(5));
}

ScanProtocol::OwnedDescriptor OpenToPass(const fs::path& file)
{
    return ScanProtocol::OwnedDescriptor(
        ValueOf(::CreateFileW(file.wstring().c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr)));
}

ScanProtocol::OwnedDescriptor OpenFolderToPass(const fs::path& folder)
{
    return ScanProtocol::OwnedDescriptor(ValueOf(
        ::CreateFileW(folder.wstring().c_str(),
                      FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
}

ScanProtocol::OwnedDescriptor EndlessPipe(ScanProtocol::OwnedDescriptor& writer)
{
    HANDLE reader = nullptr;
    HANDLE written = nullptr;
    if (!::CreatePipe(&reader, &written, nullptr, 0))
        throw std::runtime_error("cannot create a pipe");
    writer.Reset(ValueOf(written));
    return ScanProtocol::OwnedDescriptor(ValueOf(reader));
}

std::string OnTheWire(const std::string& frame)
{
    return std::string(8, '\xff') + frame;
}

std::vector<std::uint64_t> ForgedHandleValues()
{
    std::vector<std::uint64_t> values;
    for (std::uint64_t value = 4; value <= 1024; value += 4)
        values.push_back(value);
    return values;
}

unsigned long ProcessId()
{
    return ::GetCurrentProcessId();
}

bool KeepsCleanResults()
{
    return false;
}
} // namespace EngineTest
