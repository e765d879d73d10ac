#include "ProcessHelper/Process.h"

#include <boost/program_options/parsers.hpp>
#include <windows.h>

namespace ProcessHelper
{
// The whole command line as the system keeps it, program path included, split by the Windows
// rules: blanks separate tokens, double quotes group, backslashes escape double quotes.
std::vector<std::wstring> CommandLineArguments()
{
    return boost::program_options::split_winmain(::GetCommandLineW());
}
} // namespace ProcessHelper
