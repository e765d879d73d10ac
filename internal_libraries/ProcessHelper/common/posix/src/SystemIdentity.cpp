#include "ProcessHelper/SystemIdentity.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sys/utsname.h>

namespace ProcessHelper
{
// There is no Windows release here: the record carries the kernel's version numbers with a
// platform id of 0, which names neither Windows family.
std::int32_t SystemIdentity::GetVersion(OsVersionRecord& record)
{
    utsname name{};
    if (::uname(&name) != 0)
        return -1;
    unsigned major = 0, minor = 0, build = 0;
    std::sscanf(name.release, "%u.%u.%u", &major, &minor, &build);
    record.majorVersion = major;
    record.minorVersion = minor;
    record.buildNumber = build;
    record.platformId = 0;
    return 0;
}

// The firmware's system UUID; the file is usually readable by root only.
std::wstring SystemIdentity::MachineUuid()
{
    std::ifstream file("/sys/class/dmi/id/product_uuid", std::ios::binary);
    if (!file)
        return {};
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    return NormalizedUuid(text);
}
} // namespace ProcessHelper
