// Starting programs and the process environment with the POSIX interfaces.
#include "Installation.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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

bool RunningOnWine()
{
    return false;
}

RunResult RunProgram(const fs::path& program, const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment)
{
    // Everything the child needs is made before fork: after it, in a process with other threads,
    // only async-signal-safe calls are allowed (no allocation, no setenv).
    std::string programPath = program.string();
    std::vector<std::string> copies(arguments);
    std::vector<char*> argv = {programPath.data()};
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry)
    {
        const std::string variable(*entry);
        if (environment.count(variable.substr(0, variable.find('='))) == 0)
            variables.push_back(variable);
    }
    for (const auto& [name, value] : environment)
        variables.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    // Close-on-exec, so that a program another thread starts meanwhile does not inherit (and hold
    // open) the write ends: the pipes end when this child and its own children close them.
    int output[2];
    int error[2];
    if (::pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create a pipe");
    if (::pipe2(error, O_CLOEXEC) != 0)
    {
        ::close(output[0]);
        ::close(output[1]);
        throw std::runtime_error("cannot create a pipe");
    }
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("cannot start a process");
    if (child == 0)
    {
        // dup2 leaves the copies open across exec.
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(error[1], STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(output[1]);
    ::close(error[1]);
    RunResult result;
    pollfd ends[2] = {{output[0], POLLIN, 0}, {error[0], POLLIN, 0}};
    std::string* texts[2] = {&result.output, &result.error};
    for (int open = 2; open > 0;)
    {
        if (::poll(ends, 2, -1) < 0)
        {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i)
        {
            if (ends[i].fd < 0 || ends[i].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t count = ::read(ends[i].fd, buffer, sizeof buffer);
            if (count > 0)
                texts[i]->append(buffer, static_cast<std::size_t>(count));
            else if (count == 0 || errno != EINTR)
            {
                ::close(ends[i].fd);
                ends[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& end : ends)
    {
        if (end.fd >= 0)
            ::close(end.fd);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR)
    {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // Passed on, so that a failing test's log shows what the program said.
    std::cerr << result.error << std::flush;
    const std::string report = SanitizerReport(result.error);
    EXPECT_EQ(report, "") << program << " reported a fault";
    return result;
}
} // namespace CorvaneTest
