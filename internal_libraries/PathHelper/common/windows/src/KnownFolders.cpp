#include "PathHelper/KnownFolders.h"

#include "ExceptionHelper/Exception.h"

#include <shlobj.h>
#include <windows.h>

namespace PathHelper
{
// The folder's current path (not its default one) for the given user token.
boost::filesystem::path Special::FolderPath(int folder, void* token)
{
    wchar_t buffer[MAX_PATH] = {};
    const HRESULT result =
        ::SHGetFolderPathW(nullptr, folder, static_cast<HANDLE>(token), SHGFP_TYPE_CURRENT, buffer);
    if (FAILED(result))
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("SHGetFolderPath FAILED"));
    return buffer;
}
} // namespace PathHelper
