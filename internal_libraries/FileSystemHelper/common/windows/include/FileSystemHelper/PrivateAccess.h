#pragma once

#include <string>
#include <windows.h>

// Access lists that keep a file or folder to this process's user, the system and administrators.
namespace FileSystemHelper
{
// A self-relative security descriptor whose access list gives full access to this process's
// user, the system and administrators only, and is protected: nothing a parent passes on is
// added. For a folder the entries are passed on to what is created in it. The owner's implicit
// right to change the list is cut down to reading it (the owner rights entry), so that a file's
// former owner cannot open it up again. Free it with LocalFree; null on failure.
PSECURITY_DESCRIPTOR PrivateSecurity(bool folder);

// Gives the open file or folder (opened with WRITE_DAC) that access list, whatever it had.
bool MakePrivate(HANDLE object, bool folder);

// Creates a folder (its parent must exist) with that access list from the start. False when it
// could not be created, also when something has the name already.
bool CreatePrivateDirectory(const std::wstring& path);
} // namespace FileSystemHelper
