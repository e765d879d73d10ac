#include "PathHelper/KnownFolders.h"

#include "ExceptionHelper/Exception.h"

#include <cstdlib>

namespace PathHelper
{
// The all-users data folder is $PROGRAMDATA when set (the variable Windows sets for the same
// folder), else /var/lib. No other special folder exists here.
boost::filesystem::path Special::FolderPath(int folder, void* /*token*/)
{
    if (folder != CommonAppData)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("SHGetFolderPath FAILED"));
    const char* programData = std::getenv("PROGRAMDATA");
    if (programData && *programData)
        return programData;
    return "/var/lib";
}
} // namespace PathHelper
