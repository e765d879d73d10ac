// Starting programs and the process environment with the POSIX interfaces.
#include "Installation.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace CorvaneTest
{
TemporaryFolder::TemporaryFolder()
{
    const fs::path base = fs::temp_directory_path();
    std::string pattern = (base / "corvane-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    path = pattern;
}

void SetEnvironment(const std::string& name, const std::string& value)
{
    ::setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnvironment(const std::string& name)
{
    ::unsetenv(name.c_str());
}

std::optional<std::string> GetEnvironment(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    if (!value)
        return std::nullopt;
    return std::string(value);
}

std::map<std::string, std::string> ProgramDataEnvironment(const fs::path& folder)
{
    return {{"PROGRAMDATA", folder.string()}};
}

std::string ThisSystemOsType()
{
    return "0";
}

RunResult RunProgram(const fs::path& program, const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment)
{
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        throw std::runtime_error("cannot create a pipe");
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("cannot start a process");
    if (child == 0)
    {
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        for (const auto& entry : environment)
            ::setenv(entry.first.c_str(), entry.second.c_str(), 1);
        std::vector<char*> argv;
        std::string programPath = program.string();
        argv.push_back(programPath.data());
        std::vector<std::string> copies(arguments);
        for (std::string& argument : copies)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(programPath.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    RunResult result;
    char buffer[65536];
    for (;;)
    {
        const ssize_t count = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (count > 0)
            result.output.append(buffer, static_cast<std::size_t>(count));
        else if (count == 0 || errno != EINTR)
            break;
    }
    ::close(pipeEnds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR)
    {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
} // namespace CorvaneTest
