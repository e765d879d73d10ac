#pragma once

#include <cstdint>
#include <string>

namespace ProcessHelper
{
// The operating system's version record in the layout of the kernel's extended version query.
// The caller sets size first: BasicSize asks for the fields up to the service-pack text,
// ExtendedSize also for the service-pack numbers, suite mask and product type.
struct OsVersionRecord
{
    static constexpr std::uint32_t BasicSize = 276;
    static constexpr std::uint32_t ExtendedSize = 284;

    std::uint32_t size;
    std::uint32_t majorVersion;
    std::uint32_t minorVersion;
    std::uint32_t buildNumber;
    std::uint32_t platformId; // 1 the 9x family, 2 the NT family, other values neither
    char16_t servicePack[128];
    std::uint16_t servicePackMajor;
    std::uint16_t servicePackMinor;
    std::uint16_t suiteMask;
    std::uint8_t productType; // 1 workstation, 2 domain controller, 3 server
    std::uint8_t reserved;
};

class SystemIdentity
{
public:
    // Fills the record as far as its size field asks. Returns 0 on success, else the system's
    // status (the record is then unchanged but for what the system wrote).
    static std::int32_t GetVersion(OsVersionRecord& record);

    // The hardware UUID of the computer in the form XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX
    // (upper case); empty when it cannot be read. Expects COM initialised on the calling
    // thread where the platform has COM; may throw ExceptionHelper errors.
    static std::wstring MachineUuid();

    // A UUID text in the upper-case 8-4-4-4-12 form, after trimming white space around it;
    // empty when the text is not such a UUID.
    static std::wstring NormalizedUuid(const std::string& text);
};
} // namespace ProcessHelper
