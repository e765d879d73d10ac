#include "FileSystemHelper/RunFolder.h"
#include "FileSystemHelper/OutputFile.h"

#include <boost/filesystem/operations.hpp>

namespace FileSystemHelper
{
RunFolder::RunFolder(const boost::filesystem::path& parent, const std::string& prefix)
{
    // Another run may remove the shared folder between its creation and ours: it is made again.
    for (int attempt = 0; attempt < 8; ++attempt)
    {
        boost::system::error_code error;
        CreatePrivateFolder(parent);
        const boost::filesystem::path folder =
            parent / boost::filesystem::unique_path(prefix + "%%%%%%%%%%%%", error);
        if (error || !Create(folder))
            continue;
        boost::filesystem::permissions(folder, boost::filesystem::owner_all, error);
        path = folder;
        if (Hold())
            return;
        path.clear();
    }
}

RunFolder::~RunFolder()
{
    if (path.empty())
        return;
    boost::system::error_code ignored;
    Release();
    boost::filesystem::remove_all(path, ignored);
    boost::filesystem::remove(path.parent_path(), ignored);
}
} // namespace FileSystemHelper
