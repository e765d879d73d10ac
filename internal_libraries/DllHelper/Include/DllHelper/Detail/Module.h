#pragma once

// The platform's library loader, kept behind three inline functions so that DllHelper stays
// header only. Each failure leaves the reason in ExceptionHelper::LastError(). (The names avoid
// the platform header's own LoadModule function and FreeModule macro.)
#include "ExceptionHelper/LastError.h"

#include <boost/filesystem/path.hpp>
#include <string>

#ifdef _WIN32
#include <windows.h>

namespace DllHelper::Detail
{
using ModuleHandle = HMODULE;

// The loader's documentation asks for backslashes; a path built with forward slashes is given
// them here.
inline ModuleHandle OpenModule(const boost::filesystem::path& path)
{
    boost::filesystem::path native = path;
    native.make_preferred();
    return ::LoadLibraryW(native.c_str());
}

inline void* FindExport(ModuleHandle module, const std::string& name)
{
    return reinterpret_cast<void*>(::GetProcAddress(module, name.c_str()));
}

inline bool CloseModule(ModuleHandle module)
{
    return ::FreeLibrary(module) != 0;
}
} // namespace DllHelper::Detail
#else
#include <dlfcn.h>

namespace DllHelper::Detail
{
using ModuleHandle = void*;

inline ModuleHandle OpenModule(const boost::filesystem::path& path)
{
    void* module = ::dlopen(path.string().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        ExceptionHelper::SetLastError(ExceptionHelper::ErrorModuleNotFound);
    return module;
}

inline void* FindExport(ModuleHandle module, const std::string& name)
{
    ::dlerror();
    void* symbol = module ? ::dlsym(module, name.c_str()) : nullptr;
    if (!symbol)
        ExceptionHelper::SetLastError(ExceptionHelper::ErrorProcedureNotFound);
    return symbol;
}

inline bool CloseModule(ModuleHandle module)
{
    return ::dlclose(module) == 0;
}
} // namespace DllHelper::Detail
#endif
