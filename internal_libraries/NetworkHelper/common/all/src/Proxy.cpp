#include "NetworkHelper/Proxy.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace NetworkHelper
{
namespace
{
std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<std::string> Entries(const std::string& list)
{
    std::vector<std::string> entries;
    std::string entry;
    for (const char c : list + ";")
    {
        if (c == ';' || std::isspace(static_cast<unsigned char>(c)))
        {
            if (!entry.empty())
                entries.push_back(entry);
            entry.clear();
        }
        else
            entry += c;
    }
    return entries;
}

// Whether a pattern with '*' wildcards matches the whole of text. Greedy with a return to the
// last star, so any pattern takes at most length(pattern) * length(text) steps.
bool Matches(const std::string& pattern, const std::string& text)
{
    std::size_t p = 0, t = 0, star = std::string::npos, resume = 0;
    while (t < text.size())
    {
        if (p < pattern.size() && pattern[p] == '*')
        {
            star = p++;
            resume = t;
        }
        else if (p < pattern.size() && pattern[p] == text[t])
        {
            ++p;
            ++t;
        }
        else if (star != std::string::npos)
        {
            p = star + 1;
            t = ++resume;
        }
        else
            return false;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}
// A host name, an IPv4 address, or an IPv6 address in brackets.
bool UsableHost(const std::string& host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return std::all_of(host.begin() + 1, host.end() - 1,
                           [](unsigned char c)
                           { return std::isxdigit(c) || c == ':' || c == '.'; });
    return !host.empty() &&
           std::all_of(host.begin(), host.end(),
                       [](unsigned char c)
                       { return std::isalnum(c) || c == '.' || c == '-' || c == '_'; });
}
} // namespace

ProxyServer ChooseProxy(const std::string& list, const std::string& scheme)
{
    for (std::string entry : Entries(list))
    {
        const std::size_t equals = entry.find('=');
        if (equals != std::string::npos)
        {
            if (Lower(entry.substr(0, equals)) != Lower(scheme))
                continue;
            entry.erase(0, equals + 1);
        }
        // A scheme written before the server ("http://proxy:8080") names how to reach the proxy.
        const std::size_t separator = entry.find("://");
        if (separator != std::string::npos)
            entry.erase(0, separator + 3);
        while (!entry.empty() && entry.back() == '/')
            entry.pop_back();
        ProxyServer server;
        const std::size_t colon = entry.rfind(':');
        const bool bracketed = !entry.empty() && entry.front() == '[';
        if (colon != std::string::npos && (!bracketed || entry[colon - 1] == ']'))
        {
            const std::string digits = entry.substr(colon + 1);
            if (digits.empty() || digits.size() > 5 ||
                !std::all_of(digits.begin(), digits.end(),
                             [](unsigned char c) { return std::isdigit(c) != 0; }))
                return {};
            server.port = std::stoi(digits);
            server.host = entry.substr(0, colon);
        }
        else
        {
            server.port = 80;
            server.host = entry;
        }
        if (!UsableHost(server.host) || server.port <= 0 || server.port > 65535)
            return {};
        return server;
    }
    return {};
}

bool Bypassed(const std::string& exceptions, const std::string& host)
{
    const std::string name = Lower(host);
    for (const std::string& entry : Entries(exceptions))
    {
        const std::string pattern = Lower(entry);
        if (pattern == "<local>" ? name.find('.') == std::string::npos : Matches(pattern, name))
            return true;
    }
    return false;
}

bool IsLoopback(const std::string& host)
{
    const std::string name = Lower(host);
    return name == "localhost" || name == "[::1]" || name == "::1" || name.rfind("127.", 0) == 0;
}
} // namespace NetworkHelper
