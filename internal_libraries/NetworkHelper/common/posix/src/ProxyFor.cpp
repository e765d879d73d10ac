#include "NetworkHelper/Proxy.h"

namespace NetworkHelper
{
// There are no per-user proxy settings here that the program would read (it reads nothing from
// the environment): connections are direct.
ProxyServer ProxyFor(const std::string&)
{
    return {};
}
} // namespace NetworkHelper
