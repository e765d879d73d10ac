// The POSIX half of the engine tests' harness: running a check as another user.
#include "EngineHarness.h"

#include <boost/filesystem/operations.hpp>
#include <fcntl.h>
#include <grp.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace EngineTest
{
int AsUnprivilegedUser(const fs::path& folder, const std::function<int()>& check)
{
    if (::geteuid() != 0)
        return check();
    // Open the folder and the folders above it up to the temporary folder for everyone.
    for (fs::path path = folder; !path.empty() && path != fs::temp_directory_path();
         path = path.parent_path())
        fs::permissions(path,
                        fs::perms::add_perms | fs::perms::others_read | fs::perms::others_exe);
    int ends[2];
    if (::pipe(ends) != 0)
        throw std::runtime_error("cannot create a pipe");
    const pid_t child = ::fork();
    if (child == 0)
    {
        ::close(ends[0]);
        int result = -1;
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0)
            result = check();
        (void)!::write(ends[1], &result, sizeof result);
        ::_exit(0);
    }
    ::close(ends[1]);
    int result = -1;
    if (::read(ends[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result))
        result = -1;
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return result;
}
} // namespace EngineTest

#include "Installation.h"
#include "ScanProtocol/Channel.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>

namespace EngineTest
{
bool EngineService::Enabled()
{
    return CorvaneTest::GetEnvironment("CORVANE_TEST_ENGINE_SERVICE").has_value();
}

EngineService::EngineService(const fs::path& definitions, const fs::path& folder,
                             const std::string& folderOption)
    : socket(folder / "engine.sock"), state(folder / "ServiceState"),
      errors(folder / "service-errors.txt")
{
    const std::string program = ENGINE_SERVICE_PATH;
    std::vector<std::string> arguments = {program,        folderOption,   definitions.string(),
                                          "--state",      state.string(), "--socket",
                                          socket.string()};
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int output = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (output < 0)
        throw std::runtime_error("cannot create the service's error file");
    const pid_t child = ::fork();
    if (child == 0)
    {
        ::dup2(output, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(output);
    if (child < 0)
        throw std::runtime_error("cannot start the engine service");
    process = child;
    // Ready once it greets; a sanitizer build loads slowly.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ScanProtocol::ConnectAndGreet(socket.string(), std::chrono::seconds(1)).Get() < 0)
    {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child)
        {
            process = -1;
            throw std::runtime_error("the engine service ended at start: " +
                                     CorvaneTest::ReadFile(errors));
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the engine service did not answer");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void EngineService::Kill()
{
    if (process <= 0)
        return;
    ::kill(static_cast<pid_t>(process), SIGKILL);
    int status = 0;
    ::waitpid(static_cast<pid_t>(process), &status, 0);
    process = -1;
}

EngineService::~EngineService()
{
    if (process <= 0)
        return;
    ::kill(static_cast<pid_t>(process), SIGTERM);
    int status = 0;
    ::waitpid(static_cast<pid_t>(process), &status, 0);
    const std::string output = CorvaneTest::ReadFile(errors);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the engine service ended with status " << status << ": " << output;
    EXPECT_EQ(CorvaneTest::SanitizerReport(output), "");
}
} // namespace EngineTest

namespace EngineTest
{
ScanProtocol::OwnedDescriptor EngineService::Connect() const
{
    return ScanProtocol::Connect(socket.string());
}

ScanProtocol::OwnedDescriptor OpenToPass(const fs::path& file)
{
    return ScanProtocol::OwnedDescriptor(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
}

ScanProtocol::OwnedDescriptor OpenFolderToPass(const fs::path& folder)
{
    return ScanProtocol::OwnedDescriptor(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

ScanProtocol::OwnedDescriptor EndlessPipe(ScanProtocol::OwnedDescriptor& writer)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create a pipe");
    writer.Reset(ends[1]);
    return ScanProtocol::OwnedDescriptor(ends[0]);
}

std::string OnTheWire(const std::string& frame)
{
    return frame;
}

std::vector<std::uint64_t> ForgedHandleValues()
{
    return {};
}

unsigned long ProcessId()
{
    return static_cast<unsigned long>(::getpid());
}

bool KeepsCleanResults()
{
    return true;
}
} // namespace EngineTest
