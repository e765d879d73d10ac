#include "DllHelper/LibrarySearch.h"

#include <windows.h>

namespace DllHelper
{
void RestrictLibrarySearch()
{
    // Also takes the current folder out of the search of libraries loaded by name.
    ::SetDllDirectoryW(L"");
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
} // namespace DllHelper
