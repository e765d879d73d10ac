#pragma once

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

// The proxy for an http or https URL as the current user set it: what an automatic configuration
// (a script, or detection when the user asked for it) chooses, else the user's own proxy unless
// its exceptions name the URL's host. Loopback hosts always connect directly. On platforms
// without per-user proxy settings the connection is always direct.
ProxyServer ProxyFor(const std::string& url);

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
