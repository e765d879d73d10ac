#include "ProcessHelper/Process.h"

#include "ExceptionHelper/Exception.h"
#include "ExceptionHelper/LastError.h"

#include <cerrno>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#include <vector>

namespace ProcessHelper
{
namespace
{
// Path of a library loaded with dlopen, from the loader's own record of it.
bool ModulePath(DllHelper::ModuleHandle module, std::string& path)
{
    link_map* map = nullptr;
    if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name)
        return false;
    path = map->l_name;
    return true;
}
} // namespace

boost::filesystem::path Process::Path(DllHelper::ModuleHandle module)
{
    std::string path;
    if (module)
    {
        if (!ModulePath(module, path))
        {
            ExceptionHelper::SetLastError(ExceptionHelper::ErrorModuleNotFound);
            BOOST_THROW_EXCEPTION(ExceptionHelper::Windows("Couldn't get module file name"));
        }
        return path;
    }
    std::vector<char> buffer(4096);
    for (;;)
    {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length <= 0)
        {
            ExceptionHelper::SetLastError(ExceptionHelper::ErrorFromErrno(errno));
            BOOST_THROW_EXCEPTION(ExceptionHelper::Windows("Couldn't get module file name"));
        }
        if (static_cast<std::size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

boost::filesystem::path Process::ModuleOf(const void* address)
{
    Dl_info info{};
    if (!::dladdr(address, &info) || !info.dli_fname || !*info.dli_fname)
    {
        ExceptionHelper::SetLastError(ExceptionHelper::ErrorModuleNotFound);
        BOOST_THROW_EXCEPTION(ExceptionHelper::Windows("Couldn't get module file name"));
    }
    return std::string(info.dli_fname);
}

std::uint32_t Process::CurrentId()
{
    return static_cast<std::uint32_t>(::getpid());
}
} // namespace ProcessHelper
