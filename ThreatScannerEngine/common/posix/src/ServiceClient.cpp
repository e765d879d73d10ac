#include "ServiceClient.h"
#include "FileSystem.h"

#include "FileSystemHelper/File.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace ThreatScannerEngine
{
NativeHandle FolderToPass(const std::string& folder)
{
    return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

NativeHandle PassableHandle(const Descriptor& file)
{
    return ScanningDescriptor(file);
}

NativeHandle FileOfBytes(const void* data, std::size_t size)
{
    Descriptor memory(::memfd_create("engine-object", MFD_CLOEXEC));
    if (!memory.Valid())
        return -1;
    if (!FileSystemHelper::File::WriteAll(memory.Get(), static_cast<const char*>(data), size))
        return -1;
    return ::lseek(memory.Get(), 0, SEEK_SET) == 0 ? memory.Release() : -1;
}
} // namespace ThreatScannerEngine
