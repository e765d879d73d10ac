#include "Installation.h"

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

TemporaryFolder::~TemporaryFolder()
{
    boost::system::error_code ignored;
    fs::remove_all(path, ignored);
}

fs::path BuiltProgram()
{
    return CORVANE_PROGRAM_PATH;
}

Installation::Installation(const fs::path& executable)
    : folder(root.Path() / "Corvane Scanner"), programData(root.Path() / "ProgramData")
{
    fs::create_directories(folder);
    fs::create_directories(programData);
    Install(executable.empty() ? BuiltProgram() : executable, "CorvaneCommandLineScanner");
}

fs::path Installation::Executable() const
{
    return folder / "CorvaneCommandLineScanner";
}

void Installation::Install(const fs::path& source, const std::string& name) const
{
    fs::copy_file(source, folder / name, fs::copy_options::overwrite_existing);
}

void Installation::WriteFile(const std::string& relativePath, const std::string& content) const
{
    const fs::path path = folder / relativePath;
    fs::create_directories(path.parent_path());
    std::ofstream file(path.string(), std::ios::binary | std::ios::trunc);
    file << content;
}

RunResult Installation::Run(const std::vector<std::string>& arguments,
                            const std::map<std::string, std::string>& environment) const
{
    std::map<std::string, std::string> all = {{"PROGRAMDATA", programData.string()}};
    for (const auto& entry : environment)
        all[entry.first] = entry.second;
    return RunProgram(Executable(), arguments, all);
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

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path.string(), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}
} // namespace CorvaneTest
