#pragma once

// The platform's library loader behind three functions. Each failure leaves the reason in
// ExceptionHelper::LastError(). (The names avoid the platform header's own LoadModule function
// and FreeModule macro.)
#include "DllHelper/ModuleHandle.h"

#include <boost/filesystem/path.hpp>
#include <string>

namespace DllHelper::Detail
{
// Loads the library; null on failure.
ModuleHandle OpenModule(const boost::filesystem::path& path);

// The address of the library's export of this name; null on failure.
void* FindExport(ModuleHandle module, const std::string& name);

// Unloads the library; false on failure.
bool CloseModule(ModuleHandle module);
} // namespace DllHelper::Detail
