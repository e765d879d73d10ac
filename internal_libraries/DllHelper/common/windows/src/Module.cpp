#include "DllHelper/Detail/Module.h"

#include <windows.h>

namespace DllHelper::Detail
{
// The loader's documentation asks for backslashes; a path built with forward slashes is given
// them here. The library comes from its path; the system libraries it imports come from the
// system folder only, never from the library's or the program's folder.
ModuleHandle OpenModule(const boost::filesystem::path& path)
{
    boost::filesystem::path native = path;
    native.make_preferred();
    return ::LoadLibraryExW(native.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void* FindExport(ModuleHandle module, const std::string& name)
{
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name.c_str()));
}

bool CloseModule(ModuleHandle module)
{
    return ::FreeLibrary(static_cast<HMODULE>(module)) != 0;
}
} // namespace DllHelper::Detail
