#pragma once

#include <boost/filesystem.hpp>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace CorvaneTest
{
// What one run of a program printed and how it ended.
struct RunResult
{
    std::string output; // standard output
    std::string error;  // standard error
    int exitCode = -1;  // -1 when a signal ended it
};

// What a run of the scanner must end with; the run helpers check it themselves and fail the test
// otherwise. Every run is also checked for sanitizer reports on standard error.
enum class Ending
{
    Duration,  // exit code 0 and the "Request duration: " line last: every complete run
    ExitCode0, // exit code 0; the test reads the end of the output itself
    Unchecked, // the test judges how the run ended (one it stops on purpose)
};

// A temporary folder, removed with everything in it when the object goes.
class TemporaryFolder
{
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const boost::filesystem::path& Path() const { return path; }

private:
    boost::filesystem::path path;
};

// A program folder of its own with a copy of the built executable. Its all-users data folder
// (PROGRAMDATA) is a sibling folder, so nothing outside the temporary folder is touched.
class Installation
{
public:
    // The executable to copy; empty means the program as built. The program folder has the
    // given name.
    explicit Installation(const boost::filesystem::path& executable = {},
                          const boost::filesystem::path& folderName = "Corvane Scanner");

    const boost::filesystem::path& Folder() const { return folder; }
    const boost::filesystem::path& ProgramData() const { return programData; }
    boost::filesystem::path Executable() const;

    // Copies a file into the program folder under the given name.
    void Install(const boost::filesystem::path& source, const std::string& name) const;

    // Writes a text file relative to the program folder, creating its folders.
    void WriteFile(const std::string& relativePath, const std::string& content) const;

    // Runs the program with the arguments and extra environment variables; waits for it and
    // checks its ending (see RunScanner).
    RunResult Run(const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& environment = {},
                  Ending ending = Ending::Duration) const;

private:
    TemporaryFolder root;
    boost::filesystem::path folder;
    boost::filesystem::path programData;
};

// Runs a program, capturing its standard output and standard error (which is also passed on to
// this process's). Fails the test when standard error holds a sanitizer report.
RunResult RunProgram(const boost::filesystem::path& program,
                     const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment = {});

// RunProgram for a scanner executable, which always exits with code 0 and ends every complete run
// with the duration line: fails the test when the run did not end as `ending` says.
RunResult RunScanner(const boost::filesystem::path& program,
                     const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment = {},
                     Ending ending = Ending::Duration);

// The first sanitizer report (AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer) in a
// program's standard error, or empty text.
std::string SanitizerReport(const std::string& error);

// The console text without its closing duration line; fails the test when that line is not last.
std::string WithoutDuration(const std::string& output);

// The whole content of a file, or empty when it cannot be read.
std::string ReadFile(const boost::filesystem::path& path);
// The same for a text file (a log), with Windows line ends (CR LF) read as '\n' there.
std::string ReadTextFile(const boost::filesystem::path& path);

// What a strict XML 1.0 reader checks about a document's characters: well-formed UTF-8, and no
// character outside XML's range, neither written out nor as a character reference. Returns the
// first problem, or empty text.
std::string XmlCharacterProblem(const std::string& document);

// The built program.
boost::filesystem::path BuiltProgram();

// The program's file name in an installation ("CorvaneCommandLineScanner", with ".exe" on
// Windows).
std::string ProgramFileName();

// Sets or removes an environment variable of this process (and of the programs it starts).
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);

// An OpenSSL configuration (for OPENSSL_CONF) that leaves OpenSSL only its provider without
// algorithms: a program that read it could neither hash nor verify anything.
std::string OpenSslConfigurationWithoutAlgorithms();

// The environment variables that point the all-users data folder of a process at a folder of
// its own: PROGRAMDATA, and under Wine also the variable its test prefix resolves that folder
// from (see windows/Platform.cpp).
std::map<std::string, std::string> ProgramDataEnvironment(const boost::filesystem::path& folder);

// Points the all-users data folder of this process at a folder while it exists, then restores
// it.
class ProgramDataRedirection
{
public:
    explicit ProgramDataRedirection(const boost::filesystem::path& folder);
    ~ProgramDataRedirection();
    ProgramDataRedirection(const ProgramDataRedirection&) = delete;
    ProgramDataRedirection& operator=(const ProgramDataRedirection&) = delete;

private:
    std::map<std::string, std::optional<std::string>> previous;
};

// The OS type the program reports for the system the tests run on, as text: "0" where the
// system is no Windows release.
std::string ThisSystemOsType();

// True when the tests run under Wine rather than on Windows or Linux.
bool RunningOnWine();

// The value of an environment variable of this process, if set.
std::optional<std::string> GetEnvironment(const std::string& name);
} // namespace CorvaneTest
