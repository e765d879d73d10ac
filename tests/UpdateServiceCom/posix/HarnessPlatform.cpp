#include "HarnessPlatform.h"

#include "Installation.h"

#include <boost/filesystem/operations.hpp>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace UpdateLibraryTesting::Platform
{
std::string ToolPath(const boost::filesystem::path& path)
{
    return path.string();
}

int RunTool(const std::string& program, const std::vector<std::string>& arguments)
{
    return CorvaneTest::RunProgram(program, arguments).exitCode;
}

ToolProcess::ToolProcess(const std::string& program, const std::vector<std::string>& arguments)
{
    std::vector<std::string> copies(arguments);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("cannot start " + program);
    if (child == 0)
    {
        // The tool ends with the thread that started it (the test's), even when the test is
        // killed, so that it never holds a port into the next run.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
            ::_exit(127);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    id = child;
}

bool ToolProcess::Running()
{
    if (id > 0 && ::waitpid(static_cast<pid_t>(id), nullptr, WNOHANG) == id)
        id = -1;
    return id > 0;
}

void ToolProcess::Stop()
{
    if (id > 0)
    {
        ::kill(static_cast<pid_t>(id), SIGTERM);
        ::waitpid(static_cast<pid_t>(id), nullptr, 0);
        id = -1;
    }
}

HeldFile::HeldFile(const boost::filesystem::path& file)
    : handle(::open(file.c_str(), O_RDONLY | O_CLOEXEC))
{
    if (handle < 0)
        throw std::runtime_error("cannot open " + file.string());
}

HeldFile::~HeldFile()
{
    ::close(static_cast<int>(handle));
}

std::string HeldFile::Read() const
{
    std::string content;
    char buffer[4096];
    for (ssize_t count; (count = ::pread(static_cast<int>(handle), buffer, sizeof buffer,
                                         static_cast<off_t>(content.size()))) > 0;)
        content.append(buffer, static_cast<std::size_t>(count));
    return content;
}

bool SwapsFolders()
{
    // Linux file systems swap folders with renameat2(RENAME_EXCHANGE); some (and some kernels
    // under emulation) refuse it.
    static const bool swaps = []
    {
        const CorvaneTest::TemporaryFolder folder;
        const boost::filesystem::path one = folder.Path() / "one";
        const boost::filesystem::path two = folder.Path() / "two";
        boost::filesystem::create_directory(one);
        boost::filesystem::create_directory(two);
        return ::syscall(SYS_renameat2, AT_FDCWD, one.c_str(), AT_FDCWD, two.c_str(),
                         RENAME_EXCHANGE) == 0;
    }();
    return swaps;
}

bool Killed(int exitCode)
{
    // RunProgram reports a program ended by a signal with -1.
    return exitCode == -1;
}
} // namespace UpdateLibraryTesting::Platform
