#pragma once

#include <boost/filesystem/path.hpp>

namespace PathHelper
{
class Special
{
public:
    // Folder id of the all-users application data folder.
    static constexpr int CommonAppData = 35;
    // Folder id of the current user's local (not roaming) application data folder.
    static constexpr int LocalAppData = 28;

    // Path of a special folder. Throws ExceptionHelper::Exception "SHGetFolderPath FAILED".
    static boost::filesystem::path FolderPath(int folder, void* token);
};
} // namespace PathHelper
