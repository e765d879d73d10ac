#include "NetworkHelper/Proxy.h"
#include "ProxyPlatform.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
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

// The automatic configuration's answer if it comes within the bound. The lookup runs on a thread
// of its own that is left to finish alone when it takes longer: nothing here waits for it again,
// and what it needs and leaves behind it owns.
std::optional<std::string> AnswerWithin(const AutomaticConfiguration& automatic,
                                        const std::string& url, const ProxySettings& settings,
                                        std::chrono::milliseconds bound)
{
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::optional<std::string> answer;
    };
    const auto shared = std::make_shared<Shared>();
    try
    {
        std::thread(
            [shared, automatic, url, settings]
            {
                std::optional<std::string> answer;
                try
                {
                    answer = automatic(url, settings);
                }
                catch (...)
                {
                }
                const std::lock_guard<std::mutex> lock(shared->mutex);
                shared->answer = std::move(answer);
                shared->finished = true;
                shared->done.notify_all();
            })
            .detach();
    }
    catch (const std::system_error&)
    {
        return std::nullopt;
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->done.wait_for(lock, bound, [&] { return shared->finished; }))
        return std::nullopt;
    return shared->answer;
}
} // namespace

UrlHost HostOf(const std::string& url)
{
    const std::size_t separator = url.find("://");
    if (separator == std::string::npos)
        return {};
    UrlHost parts{Lower(url.substr(0, separator)), {}};
    if (parts.scheme != "http" && parts.scheme != "https")
        return {};
    std::string authority = url.substr(separator + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority.erase(0, at + 1);
    if (!authority.empty() && authority.front() == '[')
        parts.host = authority.substr(0, authority.find(']') + 1);
    else
        parts.host = authority.substr(0, authority.find(':'));
    parts.host = Lower(parts.host);
    if (!UsableHost(parts.host))
        return {};
    return parts;
}

ProxyServer ChooseProxyFor(const std::string& url, const ProxySettings& settings,
                           const AutomaticConfiguration& automatic, std::chrono::milliseconds bound)
{
    const UrlHost target = HostOf(url);
    if (target.host.empty() || IsLoopback(target.host))
        return {};
    if (settings.autoDetect || !settings.configUrl.empty())
    {
        // A script's answer holds the proxies for this URL alone; "DIRECT" leaves it empty.
        if (const std::optional<std::string> list = AnswerWithin(automatic, url, settings, bound))
            return list->empty() ? ProxyServer{} : ChooseProxy(*list, target.scheme);
    }
    if (settings.proxy.empty() || Bypassed(settings.exceptions, target.host))
        return {};
    return ChooseProxy(settings.proxy, target.scheme);
}

ProxyServer ProxyFor(const std::string& url, std::chrono::milliseconds bound)
{
    return UsersProxyFor(url, bound).value_or(ProxyServer{});
}

std::optional<ProxyServer> UsersProxyFor(const std::string& url, std::chrono::milliseconds bound)
{
    // Loopback needs no settings: nothing of the system's proxy machinery is even loaded for it.
    const UrlHost target = HostOf(url);
    if (target.host.empty() || IsLoopback(target.host))
        return ProxyServer{};
    const std::optional<ProxySettings> settings = Platform::UsersProxySettings();
    if (!settings)
        return std::nullopt;
    return ChooseProxyFor(
        url, *settings,
        [bound](const std::string& address, const ProxySettings& users)
        { return Platform::AutomaticProxy(address, users, bound); },
        bound);
}

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
    // 127.0.0.0/8 as an address, not a name that merely starts with "127.".
    return name == "localhost" || name == "[::1]" || name == "::1" ||
           (name.rfind("127.", 0) == 0 &&
            std::all_of(name.begin(), name.end(),
                        [](unsigned char c) { return std::isdigit(c) || c == '.'; }));
}
} // namespace NetworkHelper
