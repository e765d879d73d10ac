#include "DllHelper/Detail/Module.h"

#include "ExceptionHelper/LastError.h"

#include <dlfcn.h>

namespace DllHelper::Detail
{
ModuleHandle OpenModule(const boost::filesystem::path& path)
{
    void* module = ::dlopen(path.string().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        ExceptionHelper::SetLastError(ExceptionHelper::ErrorModuleNotFound);
    return module;
}

void* FindExport(ModuleHandle module, const std::string& name)
{
    ::dlerror();
    void* symbol = module ? ::dlsym(module, name.c_str()) : nullptr;
    if (!symbol)
        ExceptionHelper::SetLastError(ExceptionHelper::ErrorProcedureNotFound);
    return symbol;
}

bool CloseModule(ModuleHandle module)
{
    return ::dlclose(module) == 0;
}
} // namespace DllHelper::Detail
