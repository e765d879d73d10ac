#include "ScanProtocol/Peers.h"

#include <algorithm>
#include <cctype>

namespace ScanProtocol
{
namespace
{
bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b)
                      {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

// Whether the text is count decimal numbers, each followed by a dash but the last.
bool Numbers(const std::string& text, int count)
{
    int seen = 0;
    std::size_t digits = 0;
    for (const char c : text)
    {
        if (c >= '0' && c <= '9')
        {
            if (++digits > 10)
                return false;
        }
        else if (c == '-' && digits > 0)
        {
            ++seen;
            digits = 0;
        }
        else
            return false;
    }
    return digits > 0 && seen + 1 == count;
}
} // namespace

bool IsLocalPipeName(const std::string& name)
{
    const std::string prefix = "\\\\.\\pipe\\";
    // The system limits a pipe's full name to 256 characters.
    if (!StartsWithNoCase(name, prefix) || name.size() == prefix.size() || name.size() > 256)
        return false;
    return std::none_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                        [](char c) { return c == '\0' || c == '/'; });
}

bool ServerAccountIsTrusted(const std::string& serverSid, const std::string& ownSid)
{
    if (serverSid.empty())
        return false;
    if (serverSid == "S-1-5-18" || serverSid == "S-1-5-19" || serverSid == ownSid)
        return true;
    // A service's own account has five numbers after S-1-5-80 (the hash of its name); S-1-5-80-0
    // is the group of all services, not an account.
    const std::string services = "S-1-5-80-";
    return serverSid.compare(0, services.size(), services) == 0 &&
           Numbers(serverSid.substr(services.size()), 5);
}
} // namespace ScanProtocol
