#include "ProxyPlatform.h"

namespace NetworkHelper::Platform
{
// There are no per-user proxy settings here that the program would read (it reads nothing from
// the environment): connections are direct.
std::optional<ProxySettings> UsersProxySettings()
{
    return std::nullopt;
}

std::optional<std::string> AutomaticProxy(const std::string&, const ProxySettings&,
                                          std::chrono::milliseconds)
{
    return std::nullopt;
}
} // namespace NetworkHelper::Platform
