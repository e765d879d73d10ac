#include "ComponentsClient/MachineIdentity.h"

#include "COMHelper/CoInitializeGuard.h"

#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#include <objbase.h>
#endif

using CorvaneCommandLineScanner::DetectOsType;
using CorvaneCommandLineScanner::OsTypeDetector;
using ProcessHelper::OsVersionRecord;

namespace
{
// A machine as the version query describes it: the basic record carries no product type.
struct Machine
{
    std::uint32_t platformId;
    std::uint32_t major;
    std::uint32_t minor;
    std::uint8_t productType;
    bool extendedFails = false;
    int queries = 0;

    OsTypeDetector::VersionQuery Query()
    {
        return [this](OsVersionRecord& record)
        {
            ++queries;
            const bool extended = record.size == OsVersionRecord::ExtendedSize;
            if (!extended && record.size != OsVersionRecord::BasicSize)
                return 87;
            if (extended && extendedFails)
                return -1;
            record.platformId = platformId;
            record.majorVersion = major;
            record.minorVersion = minor;
            if (extended)
                record.productType = productType;
            return 0;
        };
    }
};

const std::uint8_t workstation = 1;
const std::uint8_t domainController = 2;
const std::uint8_t server = 3;
} // namespace

TEST(OsTypeDetector, RecordSizesMatchTheSystemRecord)
{
    EXPECT_EQ(sizeof(OsVersionRecord), OsVersionRecord::ExtendedSize);
    EXPECT_EQ(offsetof(OsVersionRecord, servicePackMajor), OsVersionRecord::BasicSize);
}

TEST(OsTypeDetector, TwoPassesTellServersFromWorkstations)
{
    struct Case
    {
        Machine machine;
        std::int32_t firstPass;
        std::int32_t osType;
        int queries;
    };
    const std::vector<Case> cases = {
        {{2, 10, 0, workstation}, 19, 19, 2},     // Windows 10 and 11
        {{2, 10, 0, server}, 19, 20, 2},          // Windows Server 2016
        {{2, 6, 3, server}, 18, 17, 2},           // Windows Server 2012 R2
        {{2, 6, 1, domainController}, 14, 13, 2}, // a 2008 R2 domain controller
        {{2, 5, 0, server}, 6, 7, 2},             // Windows 2000 Server
        {{2, 4, 0, workstation}, 5, 5, 1},        // NT 4.0: no second pass below 6
        {{2, 3, 10, workstation}, 0, 0, 1},       // NT 3.1 is in no map
        {{2, 11, 0, workstation}, 21, 21, 2},     // newer than every key
        {{2, 10, 1, server}, 21, 21, 2},          // 10.1 is newer than 10.0
        {{2, 5, 3, workstation}, 0, 0, 1},        // between keys: unknown
        {{1, 4, 10, 0}, 2, 2, 1},                 // Windows 98
        {{1, 4, 90, 0}, 3, 3, 1},                 // Windows Me
        {{1, 5, 0, 0}, 21, 21, 2},                // past the 9x map: a second pass, same map
        {{0, 6, 1, 0}, 0, 0, 1},                  // not a Windows platform
    };
    for (auto entry : cases)
    {
        OsTypeDetector first(entry.machine.Query());
        first.Detect(false);
        EXPECT_EQ(first.OsType(), entry.firstPass)
            << entry.machine.major << "." << entry.machine.minor;
        entry.machine.queries = 0;
        EXPECT_EQ(DetectOsType(entry.machine.Query()), entry.osType)
            << entry.machine.major << "." << entry.machine.minor;
        EXPECT_EQ(entry.machine.queries, entry.queries)
            << entry.machine.major << "." << entry.machine.minor;
    }
}

TEST(OsTypeDetector, FailedQueriesKeepWhatWasFound)
{
    Machine machine{2, 6, 3, server};
    machine.extendedFails = true;
    EXPECT_EQ(DetectOsType(machine.Query()), 18);

    OsTypeDetector detector(machine.Query());
    detector.Detect(false);
    EXPECT_EQ(detector.Kind(), OsTypeDetector::PlatformNt);
    detector.Detect(true);
    EXPECT_EQ(detector.OsType(), 18);

    Machine other{3, 10, 0, workstation};
    OsTypeDetector detectorOther(other.Query());
    detectorOther.Detect(true);
    EXPECT_EQ(detectorOther.Kind(), OsTypeDetector::PlatformUnknown);
    EXPECT_EQ(detectorOther.OsType(), 0);
}

#ifndef _WIN32
// The stand-in reports no Windows platform.
TEST(OsTypeDetector, ThisSystemIsNoWindowsRelease)
{
    EXPECT_EQ(DetectOsType(), 0);
}
#else
TEST(OsTypeDetector, ThisSystemIsAnNtWorkstation)
{
    // The basic record stops before the service-pack numbers; the extended one fills them.
    OsVersionRecord record;
    std::memset(&record, 0xAB, sizeof record);
    record.size = OsVersionRecord::BasicSize;
    ASSERT_EQ(ProcessHelper::SystemIdentity::GetVersion(record), 0);
    EXPECT_EQ(record.platformId, 2u);
    EXPECT_GE(record.majorVersion, 5u);
    EXPECT_EQ(record.productType, 0xAB);
    record.size = OsVersionRecord::ExtendedSize;
    ASSERT_EQ(ProcessHelper::SystemIdentity::GetVersion(record), 0);
    EXPECT_EQ(record.productType, 1); // the test machines are workstations

    OsTypeDetector detector;
    detector.Detect(false);
    EXPECT_EQ(detector.Kind(), OsTypeDetector::PlatformNt);
    // The workstation releases a test machine (or Wine) reports: XP to 10 (and 11, still 10.0).
    const std::map<std::pair<std::uint32_t, std::uint32_t>, std::int32_t> releases = {
        {{5, 1}, 8}, {{6, 0}, 11}, {{6, 1}, 14}, {{6, 2}, 15}, {{6, 3}, 18}, {{10, 0}, 19}};
    const auto release = releases.find({record.majorVersion, record.minorVersion});
    ASSERT_NE(release, releases.end()) << record.majorVersion << "." << record.minorVersion;
    EXPECT_EQ(DetectOsType(), release->second);
}
#endif

TEST(MachineUuid, UpperCaseUuidOrNothing)
{
    using ProcessHelper::SystemIdentity;
    EXPECT_EQ(SystemIdentity::NormalizedUuid("4c4c4544-0042-3510-8052-b3c04f4e4d32\n"),
              L"4C4C4544-0042-3510-8052-B3C04F4E4D32");
    EXPECT_EQ(SystemIdentity::NormalizedUuid(""), L"");
    EXPECT_EQ(SystemIdentity::NormalizedUuid("4c4c4544-0042-3510-8052-b3c04f4e4d3"), L"");
    EXPECT_EQ(SystemIdentity::NormalizedUuid("4c4c4544x0042-3510-8052-b3c04f4e4d32"), L"");
    EXPECT_EQ(SystemIdentity::NormalizedUuid("4c4c4544-0042-3510-8052-b3c04f4e4g32"), L"");

    // Whatever the system answers comes out in the one form: Wine answers with a lower-case
    // placeholder where the host has no machine id.
    using CorvaneCommandLineScanner::MachineUuid;
    EXPECT_EQ(MachineUuid([] { return std::wstring(L"4c4c4544-0042-3510-8052-b3c04f4e4d32"); }),
              L"4C4C4544-0042-3510-8052-B3C04F4E4D32");
    EXPECT_EQ(
        MachineUuid([] { return std::wstring(L"4c4c4544-0042-3510-8052-b3c04f4e4d3\u00e9"); }),
        L"");
    EXPECT_EQ(MachineUuid([]() -> std::wstring { throw std::runtime_error("no answer"); }), L"");

    const std::wstring uuid = MachineUuid();
    const COMHelper::CoInitializeGuard com;
    EXPECT_EQ(uuid, ProcessHelper::SystemIdentity::MachineUuid());
#ifndef _WIN32
    // Linux lets only root read the firmware's UUID, and some machines have none.
    if (std::ifstream("/sys/class/dmi/id/product_uuid").peek() == EOF)
    {
        EXPECT_EQ(uuid, L"");
        return;
    }
#endif
    // Windows always has the property, if only as a placeholder UUID.
    EXPECT_TRUE(std::regex_match(uuid, std::wregex(L"[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
        << std::string(uuid.begin(), uuid.end());
}

#ifdef _WIN32
TEST(MachineUuid, CallersApartmentStaysAsItWas)
{
    std::thread(
        []
        {
            ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
            EXPECT_FALSE(CorvaneCommandLineScanner::MachineUuid().empty());
            EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
            ::CoUninitialize();
        })
        .join();
}
#endif
