#include "FileSystemHelper/HeldFile.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <vector>

namespace FileSystemHelper
{
// An open file cannot be deleted here, which is all the protection a log file needs.
HeldFile::~HeldFile() = default;

void HeldFile::Release() {}

bool HeldFile::Hold(const boost::filesystem::path&)
{
    return true;
}

// The file is open until the stream is closed, which protects it.
std::FILE* HeldFile::Create(const boost::filesystem::path& path, Access access, const char* mode)
{
    return CreateNewFile(path, access, mode);
}

void RemoveUnheldFiles(const boost::filesystem::path& folder)
{
    boost::system::error_code error;
    std::vector<boost::filesystem::path> entries;
    for (boost::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error))
        entries.push_back(it->path());
    for (const boost::filesystem::path& entry : entries)
    {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(entry, ignored);
    }
}
} // namespace FileSystemHelper
