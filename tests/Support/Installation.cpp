#include "Installation.h"

#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <sstream>

namespace fs = boost::filesystem;

namespace CorvaneTest
{
TemporaryFolder::~TemporaryFolder()
{
    boost::system::error_code ignored;
    fs::remove_all(path, ignored);
}

fs::path BuiltProgram()
{
    return CORVANE_PROGRAM_PATH;
}

std::string ProgramFileName()
{
    return CORVANE_PROGRAM_FILE_NAME;
}

Installation::Installation(const fs::path& executable)
    : folder(root.Path() / "Corvane Scanner"), programData(root.Path() / "ProgramData")
{
    fs::create_directories(folder);
    fs::create_directories(programData);
    Install(executable.empty() ? BuiltProgram() : executable, ProgramFileName());
}

fs::path Installation::Executable() const
{
    return folder / ProgramFileName();
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
    std::map<std::string, std::string> all = ProgramDataEnvironment(programData);
    for (const auto& entry : environment)
        all[entry.first] = entry.second;
    return RunProgram(Executable(), arguments, all);
}

ProgramDataRedirection::ProgramDataRedirection(const fs::path& folder)
{
    for (const auto& [name, value] : ProgramDataEnvironment(folder))
    {
        previous[name] = GetEnvironment(name);
        SetEnvironment(name, value);
    }
}

ProgramDataRedirection::~ProgramDataRedirection()
{
    for (const auto& [name, value] : previous)
    {
        if (value)
            SetEnvironment(name, *value);
        else
            UnsetEnvironment(name);
    }
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path.string(), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}
std::string ReadTextFile(const fs::path& path)
{
    std::ifstream file(path.string());
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}
} // namespace CorvaneTest
