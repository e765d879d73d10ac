#pragma once

#include "DllHelper/ModuleHandle.h"

#include <boost/filesystem/path.hpp>
#include <cstdint>

namespace ProcessHelper
{
class Process
{
public:
    // Full path of the module's file; a null module is the running program. Throws
    // ExceptionHelper::Windows "Couldn't get module file name".
    static boost::filesystem::path Path(DllHelper::ModuleHandle module);
    // Full path of the file of the module (the program or a library) that holds the address, as
    // the module was loaded. Throws ExceptionHelper::Windows "Couldn't get module file name".
    static boost::filesystem::path ModuleOf(const void* address);

    // Id of the calling process.
    static std::uint32_t CurrentId();
};
} // namespace ProcessHelper

#include <string>
#include <vector>

namespace ProcessHelper
{
// The process command line as wide tokens, program path first: on Windows the command line
// split by the Windows rules, elsewhere the arguments exactly as the process received them.
std::vector<std::wstring> CommandLineArguments();
} // namespace ProcessHelper
