#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>

namespace FileSystemHelper
{
// A folder of this run's own inside a folder that runs share, named <prefix> and twelve random
// characters, open to its owner only; the shared folder is made when missing. While the object
// lives the folder is held (on Linux an advisory lock on the folder itself, on Windows a handle
// that keeps it from being removed or renamed), so that no other run's RemoveAbandonedRunFolders
// takes it. When the object goes, the folder goes with everything in it, and the shared folder
// too when no other run has anything in it.
class RunFolder
{
public:
    RunFolder(const boost::filesystem::path& parent, const std::string& prefix);
    ~RunFolder();
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    // Empty when no folder could be made and held.
    const boost::filesystem::path& Path() const { return path; }

private:
    // Creates the folder, open to its owner only from the start; false when it could not be
    // made, also when something has the name already.
    static bool Create(const boost::filesystem::path& folder);
    // Holds the folder just made; false when it is no longer there to hold.
    bool Hold();
    void Release();

    boost::filesystem::path path;
    std::intptr_t handle = -1;
};

// Removes, with everything in it, each folder in parent whose name begins with prefix and that no
// running process holds as a RunFolder: what crashed or killed runs left behind. Errors are
// ignored.
void RemoveAbandonedRunFolders(const boost::filesystem::path& parent, const std::string& prefix);
} // namespace FileSystemHelper
