#include "Service.h"

#include "FileSystemHelper/Text.h"
#include "ThreatScanner/ThreatScanner.h"

#include <windows.h>

// Folders passed by handle: which folder the service serves. A set loaded for an update through a
// passed folder is a POSIX feature for now: here the update checks its set itself and the service
// switches after the install.
namespace ThreatScannerService
{
namespace
{
bool Identify(HANDLE folder, BY_HANDLE_FILE_INFORMATION& information)
{
    return ::GetFileInformationByHandle(folder, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}
} // namespace

bool Service::IsFolder(std::intptr_t folder, const std::string& path)
{
    BY_HANDLE_FILE_INFORMATION passed{};
    if (!Identify(reinterpret_cast<HANDLE>(folder), passed))
        return false;
    const HANDLE own =
        ::CreateFileW(FileSystemHelper::ToWide(path, FileSystemHelper::CodePageUtf8).c_str(),
                      FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (own == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION mine{};
    const bool identified = Identify(own, mine);
    ::CloseHandle(own);
    return identified && mine.dwVolumeSerialNumber == passed.dwVolumeSerialNumber &&
           mine.nFileIndexHigh == passed.nFileIndexHigh &&
           mine.nFileIndexLow == passed.nFileIndexLow;
}

ScanProtocol::Message Service::LoadStaged(ScanProtocol::OwnedDescriptor, Staged&)
{
    return ScanProtocol::Refused{ThreatScanner::NotSupported};
}

int Service::CommitStaged(Staged&)
{
    return ThreatScanner::InvalidArgument;
}
} // namespace ThreatScannerService
