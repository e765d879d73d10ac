#include "SystemObjects.h"
#include "NativeFiles.h"

#include <set>
#include <tlhelp32.h>
#include <utility>

namespace ThreatScannerEngine
{
// Windows has no mount table; the boot sector is read through the drive's device.
std::string mountTablePath;

void ListProcessExecutables(const std::function<void(Target)>& onTarget)
{
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    const Descriptor held(NativeOf(snapshot));
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
         more = ::Process32NextW(snapshot, &entry))
    {
        // The idle and system processes have no executable; other users' processes may not be
        // examined.
        const HANDLE process =
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        std::wstring image(32768, L'\0');
        DWORD length = static_cast<DWORD>(image.size());
        const BOOL named = ::QueryFullProcessImageNameW(process, 0, image.data(), &length);
        ::CloseHandle(process);
        if (!named || length == 0)
            continue;
        image.resize(length);
        const HANDLE file = ::CreateFileW(image.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        BY_HANDLE_FILE_INFORMATION information{};
        const bool described = HandleInformation(file, information);
        ::CloseHandle(file);
        if (!described)
            continue;
        const FileIdentity identity = IdentityFrom(information);
        if (!seen.insert({identity.device, identity.inode}).second)
            continue;
        Target target;
        target.openPath = Utf8(image);
        target.objectPath = target.openPath;
        target.followLink = true;
        target.reportUnreadable = false;
        target.objectType = ThreatScanner::ObjectProcess;
        target.processId = entry.th32ProcessID;
        onTarget(std::move(target));
    }
}

int ReadBootSector(const std::string& root, std::string& device, BootSector& sector)
{
    // A drive's top folder: "C:", "C:\" or "C:/".
    const bool drive =
        (root.size() == 2 || (root.size() == 3 && (root[2] == '\\' || root[2] == '/'))) &&
        root[1] == ':' &&
        ((root[0] >= 'A' && root[0] <= 'Z') || (root[0] >= 'a' && root[0] <= 'z'));
    if (!drive)
        return ThreatScanner::PathError;
    const std::wstring top = WidePath(root.substr(0, 2) + "\\");
    const UINT type = ::GetDriveTypeW(top.c_str());
    if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN)
        return ThreatScanner::PathError;
    if (type == DRIVE_REMOTE)
        return ThreatScanner::NotSupported;
    device = "\\\\.\\" + root.substr(0, 2);
    const HANDLE volume =
        ::CreateFileW(WidePath(device).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return ThreatScanner::FileOpen;
    const Descriptor held(NativeOf(volume));
    DWORD count = 0;
    if (!::ReadFile(volume, sector.data(), static_cast<DWORD>(sector.size()), &count, nullptr) ||
        count != sector.size())
        return ThreatScanner::FileRead;
    return ThreatScanner::Success;
}
} // namespace ThreatScannerEngine
