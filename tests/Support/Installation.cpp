#include "Installation.h"

#include <boost/filesystem/operations.hpp>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
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

Installation::Installation(const fs::path& executable, const fs::path& folderName)
    : folder(root.Path() / folderName), programData(root.Path() / "ProgramData")
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
    std::ofstream file(std::filesystem::path(path.native()), std::ios::binary | std::ios::trunc);
    file << content;
}

RunResult Installation::Run(const std::vector<std::string>& arguments,
                            const std::map<std::string, std::string>& environment,
                            Ending ending) const
{
    std::map<std::string, std::string> all = ProgramDataEnvironment(programData);
    for (const auto& entry : environment)
        all[entry.first] = entry.second;
    return RunScanner(Executable(), arguments, all, ending);
}

namespace
{
// The closing text of every complete run of the scanner (a scan's last line, "Scan complete.",
// has no line end of its own before it).
const std::regex durationLine("Request duration: [0-9]{2,}:[0-9]{2}:[0-9]{2}(\\.[0-9]+)?\n$");

std::string Arguments(const std::vector<std::string>& arguments)
{
    std::string text;
    for (const std::string& argument : arguments)
        text += " [" + argument + "]";
    return text.empty() ? " without arguments" : text;
}
} // namespace

RunResult RunScanner(const fs::path& program, const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment, Ending ending)
{
    RunResult result = RunProgram(program, arguments, environment);
    if (ending == Ending::Unchecked)
        return result;
    // A crash or a sanitizer's abort after the last line (shutting the engine down, destructors,
    // removing temporary files) shows only in the exit code.
    EXPECT_EQ(result.exitCode, 0) << "the run of" << Arguments(arguments)
                                  << " ended badly; standard error:\n"
                                  << result.error << "standard output:\n"
                                  << result.output;
    if (ending == Ending::Duration)
    {
        EXPECT_TRUE(std::regex_search(result.output, durationLine))
            << "the run of" << Arguments(arguments) << " does not end with the duration line:\n"
            << result.output;
    }
    return result;
}

std::string SanitizerReport(const std::string& error)
{
    // "==<pid>==ERROR: AddressSanitizer: ...", "SUMMARY: UndefinedBehaviorSanitizer: ...",
    // "<file>:<line>:<column>: runtime error: ..." (UBSan without a summary).
    static const std::regex report("==[0-9]+==(ERROR|WARNING): [A-Za-z]+Sanitizer|"
                                   "SUMMARY: [A-Za-z]+Sanitizer|: runtime error: ");
    std::smatch match;
    if (!std::regex_search(error, match, report))
        return {};
    const std::size_t lineStart = error.rfind('\n', static_cast<std::size_t>(match.position(0)));
    return error.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
}

std::string WithoutDuration(const std::string& output)
{
    std::smatch match;
    if (!std::regex_search(output, match, durationLine))
    {
        ADD_FAILURE() << "the output does not end with the duration line:\n" << output;
        return output;
    }
    return output.substr(0, static_cast<std::size_t>(match.position(0)));
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
    // Opened by the native (on Windows wide) name, so that any name can be read.
    std::ifstream file(std::filesystem::path(path.native()), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}
namespace
{
bool IsXmlCharacter(unsigned long c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}
} // namespace

std::string XmlCharacterProblem(const std::string& document)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(document[i]); };
    for (std::size_t i = 0; i < document.size();)
    {
        const unsigned char lead = byte(i);
        std::size_t length = lead < 0x80                    ? 1
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
        if (length == 0 || i + length > document.size())
            return "invalid UTF-8 at byte " + std::to_string(i);
        unsigned long c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
        {
            if ((byte(i + k) & 0xC0) != 0x80)
                return "invalid UTF-8 at byte " + std::to_string(i);
            c = (c << 6) | (byte(i + k) & 0x3F);
        }
        const unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < smallest[length])
            return "overlong UTF-8 at byte " + std::to_string(i);
        if (!IsXmlCharacter(c))
            return "character " + std::to_string(c) + " at byte " + std::to_string(i);
        i += length;
    }
    // Character references: &#<decimal>; and &#x<hex>;
    for (std::size_t at = document.find("&#"); at != std::string::npos;
         at = document.find("&#", at + 2))
    {
        const bool hex = at + 2 < document.size() && document[at + 2] == 'x';
        const std::size_t digits = at + (hex ? 3 : 2);
        std::size_t end = digits;
        unsigned long long value = 0;
        for (; end < document.size() && end - digits < 9; ++end)
        {
            const int digit =
                std::isdigit(static_cast<unsigned char>(document[end])) ? document[end] - '0'
                : hex && std::isxdigit(static_cast<unsigned char>(document[end]))
                    ? std::tolower(static_cast<unsigned char>(document[end])) - 'a' + 10
                    : -1;
            if (digit < 0)
                break;
            value = value * (hex ? 16 : 10) + static_cast<unsigned int>(digit);
        }
        if (end == digits || end >= document.size() || document[end] != ';' ||
            !IsXmlCharacter(static_cast<unsigned long>(value)))
            return "character reference " + document.substr(at, end + 1 - at);
    }
    return {};
}

std::string ReadTextFile(const fs::path& path)
{
    std::ifstream file(std::filesystem::path(path.native()));
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string OpenSslConfigurationWithoutAlgorithms()
{
    return "openssl_conf = init\n[init]\nproviders = providers\n[providers]\nnull = null\n"
           "[null]\nactivate = 1\n";
}
} // namespace CorvaneTest
