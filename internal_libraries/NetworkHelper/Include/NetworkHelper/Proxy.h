#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// The proxy that the user's settings choose for a URL.
namespace NetworkHelper
{
// A proxy server; an empty host means a direct connection.
struct ProxyServer
{
    std::string host;
    int port = 0;
};

// The proxy settings of the current user, as Internet Options keeps them.
struct ProxySettings
{
    bool autoDetect = false; // find a configuration script on the network (WPAD)
    std::string configUrl;   // the configuration script's URL, empty for none
    std::string proxy;       // the user's own proxy list, empty for none
    std::string exceptions;  // hosts that the user's own proxy is not used for
};

// What an automatic configuration answers for a URL: the proxy list it chooses, an empty list
// for a direct connection, or nothing when it could not answer. It may take long or never return
// (a script server that does not answer, detection waiting for the network).
using AutomaticConfiguration =
    std::function<std::optional<std::string>(const std::string& url, const ProxySettings&)>;

// The proxy for an http or https URL as the current user set it: what an automatic configuration
// (a script, or detection when the user asked for it) chooses, else the user's own proxy unless
// its exceptions name the URL's host. The automatic configuration gets at most `bound` to
// answer; without an answer in time the user's own proxy applies. Loopback hosts and URLs that
// cannot be read connect directly without any lookup. On platforms without per-user proxy
// settings the connection is always direct.
ProxyServer ProxyFor(const std::string& url, std::chrono::milliseconds bound);

// The same, but nothing where the current user has no proxy settings to read, for callers whose
// transport has a system-wide default of its own to fall back on.
std::optional<ProxyServer> UsersProxyFor(const std::string& url, std::chrono::milliseconds bound);

// The same choice from given settings and a given automatic configuration.
ProxyServer ChooseProxyFor(const std::string& url, const ProxySettings& settings,
                           const AutomaticConfiguration& automatic,
                           std::chrono::milliseconds bound);

// The scheme (lower case) and host of an absolute http or https URL ("scheme://[user@]host
// [:port]/..."), the host of an IPv6 address in brackets; both empty when the URL is not one.
struct UrlHost
{
    std::string scheme;
    std::string host;
};
UrlHost HostOf(const std::string& url);

// The server that a proxy list names for a scheme. A list holds entries separated by ';' or white
// space, each "host[:port]" for every scheme or "scheme=host[:port]" for one; the first that
// applies wins, and a missing port is 80. Empty when none applies or the entry is not a usable
// host and port.
ProxyServer ChooseProxy(const std::string& list, const std::string& scheme);

// Whether a proxy exception list (entries separated by ';' or white space; "<local>" for host
// names without a dot, "*" as a wildcard) names the host. Letter case does not matter.
bool Bypassed(const std::string& exceptions, const std::string& host);

// Whether the host is the loopback interface ("localhost", 127.x.x.x, [::1]).
bool IsLoopback(const std::string& host);
} // namespace NetworkHelper
