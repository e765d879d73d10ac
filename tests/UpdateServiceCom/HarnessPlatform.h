#pragma once

// What the update library's test harness does differently per platform: running the build machine's
// tools (Python, OpenSSL), which on Windows under Wine are Linux programs started through Wine.

#include <boost/filesystem/path.hpp>
#include <string>
#include <vector>

namespace UpdateLibraryTesting::Platform
{
// A path as the build machine's tools take it.
std::string ToolPath(const boost::filesystem::path& path);

// Runs a tool of the build machine and waits for it; returns its exit code.
int RunTool(const std::string& program, const std::vector<std::string>& arguments);

// A tool of the build machine running in the background until Stop.
class ToolProcess
{
public:
    ToolProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ToolProcess() { Stop(); }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // False once the process is known to have ended.
    bool Running();
    // Ends the process and waits until it is gone.
    void Stop();

private:
    long long id = -1;
    boost::filesystem::path idFile;
};

// Holds a file open as a program reading it does: on Windows not shared for deleting or
// renaming, so that the file can be neither removed nor moved (nor, on Windows proper, the folder
// it is in) while it is held.
class HeldFile
{
public:
    explicit HeldFile(const boost::filesystem::path& file);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // The file's whole content, read through the held handle.
    std::string Read() const;

private:
    long long handle = -1;
};

// Whether the library swaps two folders in one step on this platform (Windows cannot).
bool SwapsFolders();

// Whether a program's exit code says that it died at a kill point of the library's test build.
bool Killed(int exitCode);
} // namespace UpdateLibraryTesting::Platform
