#pragma once

namespace DllHelper
{
// Makes the process look for libraries loaded by name, and for the libraries those depend on,
// in the system folder only: never in the program's folder, the current folder or the search
// path, where a user could plant a library of the same name. Call first thing in the program;
// the program's own libraries are loaded by their full path (see Dll). Where libraries are not
// searched for in such folders, does nothing.
void RestrictLibrarySearch();
} // namespace DllHelper
