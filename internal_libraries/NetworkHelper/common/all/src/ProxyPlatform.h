#pragma once

#include "NetworkHelper/Proxy.h"

// What each platform supplies to the proxy choice.
namespace NetworkHelper::Platform
{
// The current user's proxy settings; nothing where there are none to read.
std::optional<ProxySettings> UsersProxySettings();

// What the user's automatic configuration chooses for the URL (see AutomaticConfiguration),
// giving each network step of the lookup at most `bound`.
std::optional<std::string> AutomaticProxy(const std::string& url, const ProxySettings& settings,
                                          std::chrono::milliseconds bound);
} // namespace NetworkHelper::Platform
