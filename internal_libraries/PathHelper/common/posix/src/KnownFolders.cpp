#include "PathHelper/KnownFolders.h"

#include "ExceptionHelper/Exception.h"

#include <cstdlib>

namespace PathHelper
{
namespace
{
// An absolute path from the environment variable, or empty.
boost::filesystem::path AbsoluteFrom(const char* variable)
{
    const char* value = std::getenv(variable);
    if (!value || *value != '/')
        return {};
    return value;
}
} // namespace

// The all-users data folder is $PROGRAMDATA when set (the variable Windows sets for the same
// folder), else /var/lib. The user's local data folder is the XDG state folder: $XDG_STATE_HOME,
// else ~/.local/state (a relative value is ignored, as the XDG rules say). No other special
// folder exists here.
boost::filesystem::path Special::FolderPath(int folder, void* /*token*/)
{
    if (folder == LocalAppData)
    {
        if (boost::filesystem::path state = AbsoluteFrom("XDG_STATE_HOME"); !state.empty())
            return state;
        if (const boost::filesystem::path home = AbsoluteFrom("HOME"); !home.empty())
            return home / ".local" / "state";
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("SHGetFolderPath FAILED"));
    }
    if (folder != CommonAppData)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("SHGetFolderPath FAILED"));
    const char* programData = std::getenv("PROGRAMDATA");
    if (programData && *programData)
        return programData;
    return "/var/lib";
}
} // namespace PathHelper
