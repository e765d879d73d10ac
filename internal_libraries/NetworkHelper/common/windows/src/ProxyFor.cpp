// The user's proxy settings through WinHTTP: the ones Internet Options keeps per user, with an
// automatic configuration script or detection (WPAD) answered by WinHTTP itself.
#include "ProxyPlatform.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>

namespace NetworkHelper::Platform
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

std::optional<ProxySettings> UsersProxySettings()
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&user))
        return std::nullopt;
    ProxySettings settings;
    settings.autoDetect = user.fAutoDetect != FALSE;
    settings.configUrl = Taken(user.lpszAutoConfigUrl);
    settings.proxy = Taken(user.lpszProxy);
    settings.exceptions = Taken(user.lpszProxyBypass);
    return settings;
}

std::optional<std::string> AutomaticProxy(const std::string& url, const ProxySettings& settings,
                                          std::chrono::milliseconds bound)
{
    const std::unique_ptr<void, SessionCloser> session(
        ::WinHttpOpen(L"Corvane", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                      WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return std::nullopt;
    // Bounds the script's download; the caller bounds the whole lookup, detection included.
    const int step = static_cast<int>(std::clamp<long long>(bound.count(), 1, 60000));
    ::WinHttpSetTimeouts(session.get(), step, step, step, step);

    const std::wstring wideUrl = Wide(url);
    const std::wstring wideConfigUrl = Wide(settings.configUrl);
    WINHTTP_AUTOPROXY_OPTIONS automatic{};
    if (!settings.configUrl.empty())
    {
        automatic.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        automatic.lpszAutoConfigUrl = wideConfigUrl.c_str();
    }
    if (settings.autoDetect)
    {
        automatic.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        automatic.dwAutoDetectFlags =
            WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    automatic.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO chosen{};
    if (!::WinHttpGetProxyForUrl(session.get(), wideUrl.c_str(), &automatic, &chosen))
        return std::nullopt;
    std::string list = Taken(chosen.lpszProxy);
    Taken(chosen.lpszProxyBypass);
    if (chosen.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY)
        list.clear();
    return list;
}
} // namespace NetworkHelper::Platform
