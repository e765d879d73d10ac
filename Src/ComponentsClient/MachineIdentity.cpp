#include "ComponentsClient/MachineIdentity.h"

#include "COMHelper/CoInitializeGuard.h"

#include <boost/thread/thread.hpp>
#include <cstring>

namespace CorvaneCommandLineScanner
{
namespace
{
// The answer in the upper-case form, or empty when it is not a UUID (a UUID is plain ASCII).
std::wstring NormalizedUuid(const std::wstring& answer)
{
    std::string text;
    for (const wchar_t c : answer)
    {
        if (static_cast<std::uint32_t>(c) > 0x7F)
            return {};
        text += static_cast<char>(c);
    }
    return ProcessHelper::SystemIdentity::NormalizedUuid(text);
}
} // namespace

std::wstring MachineUuid(const MachineUuidQuery& query)
{
    std::wstring uuid;
    try
    {
        boost::thread worker(
            [&uuid, &query]
            {
                try
                {
                    const COMHelper::CoInitializeGuard com;
                    uuid = NormalizedUuid(query());
                }
                catch (...)
                {
                    // The identity is optional: any failure on the worker gives an empty one.
                    uuid.clear();
                }
            });
        worker.join();
    }
    catch (const boost::thread_resource_error&)
    {
        // No worker could be started: as if the query had failed.
        return {};
    }
    return uuid;
}

OsTypeDetector::OsTypeDetector(VersionQuery query)
    : workstation{{{3, 51}, 4}, {{4, 0}, 5},  {{5, 0}, 6},  {{5, 1}, 8},  {{5, 2}, 9},
                  {{6, 0}, 11}, {{6, 1}, 14}, {{6, 2}, 15}, {{6, 3}, 18}, {{10, 0}, 19}},
      server{{{5, 0}, 7},  {{5, 2}, 10}, {{6, 0}, 12}, {{6, 1}, 13},
             {{6, 2}, 16}, {{6, 3}, 17}, {{10, 0}, 20}},
      windows9x{{{4, 0}, 1}, {{4, 10}, 2}, {{4, 90}, 3}}, version{}, query(std::move(query))
{
}

std::int32_t OsTypeDetector::Lookup(const Map& map, const Key& key)
{
    const auto found = map.find(key);
    if (found != map.end())
        return found->second;
    if (!map.empty() && map.rbegin()->first < key)
        return NewerRelease;
    return 0;
}

void OsTypeDetector::Detect(bool extended)
{
    std::memset(&version, 0, sizeof version);
    version.size = extended ? ProcessHelper::OsVersionRecord::ExtendedSize
                            : ProcessHelper::OsVersionRecord::BasicSize;
    if (!query || query(version) != 0)
        return;
    const Map* map = nullptr;
    switch (version.platformId)
    {
    case 1:
        platformKind = Platform9x;
        map = &windows9x;
        break;
    case 2:
        platformKind = PlatformNt;
        // The basic record carries no product type (0): read as a workstation.
        map = version.productType == 2 || version.productType == 3 ? &server : &workstation;
        break;
    default:
        platformKind = PlatformUnknown;
        return;
    }
    osType = Lookup(*map, {version.majorVersion, version.minorVersion});
}

std::int32_t DetectOsType(OsTypeDetector::VersionQuery query)
{
    OsTypeDetector detector(std::move(query));
    detector.Detect(false);
    if (detector.OsType() >= 6)
        detector.Detect(true);
    return detector.OsType();
}
MachineIdentity ThisMachine()
{
    MachineIdentity machine;
    machine.uuid = MachineUuid();
    machine.osType = DetectOsType();
    return machine;
}
} // namespace CorvaneCommandLineScanner
