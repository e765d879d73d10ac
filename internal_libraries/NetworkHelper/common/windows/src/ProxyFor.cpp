// The user's proxy settings through WinHTTP: the ones Internet Options keeps per user, with an
// automatic configuration script or detection (WPAD) answered by WinHTTP itself.
#include "NetworkHelper/Proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>

namespace NetworkHelper
{
namespace
{
std::wstring Wide(const std::string& text)
{
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(size > 0 ? static_cast<std::size_t>(size) : 0, L'\0');
    if (size > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                              size);
    return wide;
}

std::string Narrow(const wchar_t* text)
{
    if (!text)
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 1 ? static_cast<std::size_t>(size) : 1, '\0');
    if (size > 1)
        ::WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

// Takes a string that WinHTTP handed out, which the caller frees with GlobalFree.
std::string Taken(wchar_t*& text)
{
    std::string narrow = Narrow(text);
    if (text)
        ::GlobalFree(text);
    text = nullptr;
    return narrow;
}

struct SessionCloser
{
    void operator()(HINTERNET session) const { ::WinHttpCloseHandle(session); }
};
} // namespace

ProxyServer ProxyFor(const std::string& url)
{
    const std::wstring wideUrl = Wide(url);
    wchar_t host[256] = {};
    wchar_t scheme[16] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszScheme = scheme;
    parts.dwSchemeLength = 16;
    if (wideUrl.empty() || !::WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts) ||
        IsLoopback(Narrow(host)))
        return {};

    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&user))
        return {};
    const std::string configUrl = Taken(user.lpszAutoConfigUrl);
    const std::string proxy = Taken(user.lpszProxy);
    const std::string exceptions = Taken(user.lpszProxyBypass);

    if (user.fAutoDetect || !configUrl.empty())
    {
        const std::unique_ptr<void, SessionCloser> session(
            ::WinHttpOpen(L"Corvane", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0));
        const std::wstring wideConfigUrl = Wide(configUrl);
        WINHTTP_AUTOPROXY_OPTIONS automatic{};
        if (!configUrl.empty())
        {
            automatic.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            automatic.lpszAutoConfigUrl = wideConfigUrl.c_str();
        }
        if (user.fAutoDetect)
        {
            automatic.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            automatic.dwAutoDetectFlags =
                WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        automatic.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO chosen{};
        if (session && ::WinHttpGetProxyForUrl(session.get(), wideUrl.c_str(), &automatic, &chosen))
        {
            const std::string list = Taken(chosen.lpszProxy);
            Taken(chosen.lpszProxyBypass);
            // A script's answer holds the proxies for this URL alone; "DIRECT" leaves it empty.
            if (chosen.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY)
                return {};
            return ChooseProxy(list, Narrow(scheme));
        }
    }
    if (proxy.empty() || Bypassed(exceptions, Narrow(host)))
        return {};
    return ChooseProxy(proxy, Narrow(scheme));
}
} // namespace NetworkHelper
