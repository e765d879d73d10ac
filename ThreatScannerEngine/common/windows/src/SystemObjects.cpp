#include "SystemObjects.h"
#include "NativeFiles.h"

#include <algorithm>
#include <cstring>
#include <psapi.h>
#include <set>
#include <tlhelp32.h>
#include <utility>
#include <vector>
#include <winioctl.h>

namespace ThreatScannerEngine
{
namespace
{
// Hands the file at the path on as the process's object, unless a file of the same identity was
// handed on before.
void OnFile(const std::wstring& image, DWORD processId,
            std::set<std::pair<std::uint64_t, std::uint64_t>>& seen,
            const std::function<void(Target)>& onTarget)
{
    const HANDLE file = ::CreateFileW(image.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool described = HandleInformation(file, information);
    ::CloseHandle(file);
    if (!described)
        return;
    const FileIdentity identity = IdentityFrom(information);
    if (!seen.insert({identity.device, identity.inode}).second)
        return;
    Target target;
    target.openPath = Utf8(image);
    target.objectPath = target.openPath;
    target.followLink = true;
    target.reportUnreadable = false;
    target.objectType = ThreatScanner::ObjectProcess;
    target.processId = processId;
    onTarget(std::move(target));
}

// The files of the modules (libraries) the process has loaded, its executable among them; empty
// when its memory may not be read (another user's process, for a process that is not elevated).
std::vector<std::wstring> ModuleFiles(HANDLE process)
{
    std::vector<HMODULE> modules(256);
    DWORD needed = 0;
    for (int attempt = 0; attempt < 4; ++attempt)
    {
        if (!::EnumProcessModulesEx(process, modules.data(),
                                    static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed,
                                    LIST_MODULES_ALL))
            return {};
        if (needed <= modules.size() * sizeof(HMODULE))
            break;
        modules.resize(needed / sizeof(HMODULE) + 16);
    }
    modules.resize(std::min<std::size_t>(modules.size(), needed / sizeof(HMODULE)));
    std::vector<std::wstring> files;
    for (const HMODULE module : modules)
    {
        std::wstring name(32768, L'\0');
        const DWORD length =
            ::GetModuleFileNameExW(process, module, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0 || length >= name.size())
            continue;
        name.resize(length);
        files.push_back(std::move(name));
    }
    return files;
}
} // namespace

std::uint32_t ListProcessExecutables(const std::function<void(Target)>& onTarget)
{
    std::uint32_t denied = 0;
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return denied;
    const Descriptor held(NativeOf(snapshot));
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
         more = ::Process32NextW(snapshot, &entry))
    {
        // The idle and system processes have no executable; other users' processes may not be
        // examined. Each process's executable comes first, then the libraries it has loaded,
        // where its memory may be read.
        HANDLE process =
            ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        const bool readable = process != nullptr;
        if (!process)
            process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
        {
            if (::GetLastError() == ERROR_ACCESS_DENIED)
                ++denied;
            continue;
        }
        const Descriptor heldProcess(NativeOf(process));
        std::wstring image(32768, L'\0');
        DWORD length = static_cast<DWORD>(image.size());
        if (::QueryFullProcessImageNameW(process, 0, image.data(), &length) && length > 0)
        {
            image.resize(length);
            OnFile(image, entry.th32ProcessID, seen, onTarget);
        }
        if (readable)
            for (const std::wstring& module : ModuleFiles(process))
                OnFile(module, entry.th32ProcessID, seen, onTarget);
    }
    return denied;
}

namespace
{
// Reads a disk's or a volume's first sector into sector (its first 512 bytes). The device is read
// a whole sector at a time into a buffer aligned to the page, as devices opened without caching
// require: 4 KiB sectors are read whole, then cut to what the engine scans.
int ReadFirstSector(HANDLE device, BootSector& sector)
{
    DWORD size = 512;
    DISK_GEOMETRY_EX geometry{};
    DWORD returned = 0;
    if (::DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                          sizeof geometry, &returned, nullptr) &&
        geometry.Geometry.BytesPerSector >= 512 && geometry.Geometry.BytesPerSector <= 65536)
        size = geometry.Geometry.BytesPerSector;
    void* buffer = ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!buffer)
        return ThreatScanner::NoMemory;
    DWORD count = 0;
    const bool read = ::ReadFile(device, buffer, size, &count, nullptr) && count >= sector.size();
    if (read)
        std::memcpy(sector.data(), buffer, sector.size());
    ::VirtualFree(buffer, 0, MEM_RELEASE);
    return read ? ThreatScanner::Success : ThreatScanner::FileRead;
}

int OpenError()
{
    // Reading a disk takes an administrator's rights: said as such, not as a missing file.
    const DWORD error = ::GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_PRIVILEGE_NOT_HELD
               ? ThreatScanner::PathAccess
               : ThreatScanner::FileOpen;
}
} // namespace

int ReadBootSector(const std::string& root, std::string& device, BootSector& sector)
{
    // A drive's top folder ("C:", "C:\" or "C:/") or a volume's name ("\\?\Volume{...}\").
    const bool drive =
        (root.size() == 2 || (root.size() == 3 && (root[2] == '\\' || root[2] == '/'))) &&
        root[1] == ':' &&
        ((root[0] >= 'A' && root[0] <= 'Z') || (root[0] >= 'a' && root[0] <= 'z'));
    const bool volumeName = root.rfind("\\\\?\\Volume{", 0) == 0 && root.back() == '\\' &&
                            root.find_first_of("\\/", 4) == root.size() - 1;
    // A folder a volume is mounted on ("C:\mnt\data\") stands for that volume.
    std::wstring mounted(MAX_PATH + 1, L'\0');
    const bool mountFolder =
        !drive && !volumeName && !root.empty() && (root.back() == '\\' || root.back() == '/') &&
        ::GetVolumeNameForVolumeMountPointW(WidePath(root).c_str(), mounted.data(),
                                            static_cast<DWORD>(mounted.size()));
    if (!drive && !volumeName && !mountFolder)
        return ThreatScanner::PathError;
    const std::wstring top = WidePath(drive ? root.substr(0, 2) + "\\" : root);
    const UINT type = ::GetDriveTypeW(top.c_str());
    if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN)
        return ThreatScanner::PathError;
    if (type == DRIVE_REMOTE)
        return ThreatScanner::NotSupported;
    // The volume's device: "\\.\C:", or the volume's name without its closing separator.
    const std::string named = mountFolder ? Utf8(mounted.c_str()) : root;
    const std::string volumeDevice =
        drive ? "\\\\.\\" + root.substr(0, 2) : named.substr(0, named.size() - 1);
    const HANDLE volume =
        ::CreateFileW(WidePath(volumeDevice).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return OpenError();
    const Descriptor heldVolume(NativeOf(volume));
    // The disk the volume is on is read from its first sector, where the code that starts the
    // machine lives; a volume that spans disks, or a system that cannot tell, gets its own first
    // sector read instead.
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    device = ::DeviceIoControl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                               sizeof number, &returned, nullptr) &&
                     number.DeviceType == FILE_DEVICE_DISK
                 ? "\\\\.\\PhysicalDrive" + std::to_string(number.DeviceNumber)
                 : volumeDevice;
    const HANDLE disk =
        ::CreateFileW(WidePath(device).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE)
        return OpenError();
    const Descriptor held(NativeOf(disk));
    return ReadFirstSector(disk, sector);
}
} // namespace ThreatScannerEngine
