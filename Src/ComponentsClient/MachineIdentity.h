#pragma once

#include "ProcessHelper/SystemIdentity.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

// What the update client tells the components service about this machine.
namespace CorvaneCommandLineScanner
{
// Reads the platform's answer for the machine's hardware UUID, with COM initialised.
using MachineUuidQuery = std::function<std::wstring()>;

// The machine's hardware UUID in the upper-case 8-4-4-4-12 form, read with the query on a worker
// thread of its own with COM initialised there, so that the caller's COM state is never touched.
// Empty when it cannot be read or the answer is no UUID. (Some systems answer in lower case:
// Wine's placeholder where the host has no machine id.)
std::wstring
MachineUuid(const MachineUuidQuery& query = ProcessHelper::SystemIdentity::MachineUuid);

// Turns the system's version record into the service's OS type number.
class OsTypeDetector
{
public:
    // Fills the version record as far as its size field asks; 0 means success.
    using VersionQuery = std::function<std::int32_t(ProcessHelper::OsVersionRecord&)>;

    enum PlatformKind : std::int32_t
    {
        PlatformUnknown = 0,
        PlatformNt = 1,
        Platform9x = 2,
    };

    // OS type for a release newer than every one a map knows.
    static constexpr std::int32_t NewerRelease = 21;

    explicit OsTypeDetector(VersionQuery query = ProcessHelper::SystemIdentity::GetVersion);

    // Queries the version with the basic or the extended record and updates OsType and Kind.
    // A failed query, or a platform of neither Windows family, leaves OsType as it was.
    void Detect(bool extended);

    std::int32_t OsType() const { return osType; }
    std::int32_t Kind() const { return platformKind; }

private:
    using Key = std::pair<std::uint32_t, std::uint32_t>; // major, minor
    using Map = std::map<Key, std::int32_t>;

    static std::int32_t Lookup(const Map& map, const Key& key);

    Map workstation;
    Map server;
    Map windows9x;
    ProcessHelper::OsVersionRecord version;
    std::int32_t osType = 0;
    std::int32_t platformKind = PlatformUnknown;
    VersionQuery query;
};

// The OS type of this machine: a pass with the basic record, and when that gives 6 or more a
// second pass with the extended record, which tells servers from workstations.
std::int32_t
DetectOsType(OsTypeDetector::VersionQuery query = ProcessHelper::SystemIdentity::GetVersion);

// What a request to the components service says about the machine it comes from.
struct MachineIdentity
{
    std::wstring uuid; // empty when unknown
    std::int32_t osType = 0;
};

// This machine's identity, read now.
MachineIdentity ThisMachine();
} // namespace CorvaneCommandLineScanner
