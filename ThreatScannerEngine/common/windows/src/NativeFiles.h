#pragma once

// Windows file primitives shared by the engine's Windows sources: handles opened inside an open
// folder (NtCreateFile with a root directory), never through a reparse point unless asked to.
// Sockets first: the scanning library's header brings them, and they must precede windows.h.
#include <winsock2.h>

#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>

#include "Actions.h"

#include <cstdint>
#include <string>

namespace ThreatScannerEngine
{
inline HANDLE HandleOf(const Descriptor& descriptor)
{
    return reinterpret_cast<HANDLE>(descriptor.Get());
}

inline NativeHandle NativeOf(HANDLE handle)
{
    return reinterpret_cast<NativeHandle>(handle);
}

// A UTF-8 path or name as UTF-16, and back.
std::wstring WidePath(const std::string& path);
std::string Utf8(const std::wstring& text);
// An absolute path in the form that has no length limit (\\?\C:\... or \\?\UNC\...).
std::wstring LongPath(const std::string& path);

// Opens a name inside an open folder. The name is one component; it is opened as it is, a
// reparse point included (FILE_OPEN_REPARSE_POINT) unless follow is set. Returns the status.
NTSTATUS OpenRelative(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                      ULONG disposition, ULONG options, bool follow, HANDLE& opened);

// Whether a status says that the name is not there (any more) as what was asked for.
bool IsGone(NTSTATUS status);

// What an open file or folder is as a reparse point: none; a link (a symbolic link, a junction or
// another name surrogate, which leads elsewhere by name); data (a cloud file, a compressed system
// file or a deduplicated file: its content is its own, and a filter supplies it when it is opened
// without FILE_OPEN_REPARSE_POINT); or another kind, which the engine does not read.
enum class Reparse
{
    None,
    Link,
    Data,
    Other
};
Reparse ReparseOf(DWORD attributes, DWORD tag);
Reparse ReparseOf(HANDLE opened);

// The file's attributes and identity through its handle.
bool HandleInformation(HANDLE file, BY_HANDLE_FILE_INFORMATION& information);
FileIdentity IdentityFrom(const BY_HANDLE_FILE_INFORMATION& information);

} // namespace ThreatScannerEngine
