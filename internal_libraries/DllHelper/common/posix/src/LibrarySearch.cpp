#include "DllHelper/LibrarySearch.h"

namespace DllHelper
{
// The dynamic loader never searches the program's or the current folder unless told to.
void RestrictLibrarySearch() {}
} // namespace DllHelper
