// Transfers through WinHTTP, with the limits of the other platforms: time-outs against stalling
// servers, a lowest rate over the stall time, a deadline per transfer and a limit on the response
// headers. Redirects are not followed.
#include "Http.h"
#include "HttpTransfer.h"

#include "NetworkHelper/Proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace UpdateServiceCom
{
namespace
{
struct InternetCloser
{
    void operator()(HINTERNET handle) const
    {
        if (handle)
            ::WinHttpCloseHandle(handle);
    }
};
using Internet = std::unique_ptr<void, InternetCloser>;
using Clock = std::chrono::steady_clock;

// Closes a request at its deadline, which cancels the call that waits on it: WinHTTP's own
// time-outs bound each wait, not a server that sends its headers a byte at a time.
class Watchdog
{
public:
    Watchdog(HINTERNET request, Clock::time_point deadline)
        : thread(
              [this, request, deadline]
              {
                  std::unique_lock<std::mutex> lock(mutex);
                  if (!wake.wait_until(lock, deadline, [this] { return done; }))
                  {
                      expired = true;
                      ::WinHttpCloseHandle(request);
                  }
              })
    {
    }
    ~Watchdog() { Stop(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Ends the watch; true when the deadline had passed and the request is closed.
    bool Stop()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
        return expired;
    }

private:
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    bool expired = false;
    std::thread thread;
};

std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    if (size <= 0 ||
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                              static_cast<int>(text.size()), wide.data(), size) != size)
        return {};
    return wide;
}

// The system's text for a WinHTTP error, with its number.
std::string ErrorText(DWORD error)
{
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_IGNORE_INSERTS,
        ::GetModuleHandleW(L"winhttp.dll"), error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length && text ? std::string(text, length) : std::string();
    ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return (message.empty() ? std::string("error") : message) + " (" + std::to_string(error) + ")";
}

[[noreturn]] void ThrowError(DWORD error, const std::string& where)
{
    switch (error)
    {
    case ERROR_WINHTTP_TIMEOUT:
        ThrowStalled(where);
    case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW:
    case ERROR_WINHTTP_CHUNKED_ENCODING_HEADER_SIZE_OVERFLOW:
        ThrowHeaderTooLong(where);
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        throw Failure(Internal, "Out of memory" + where);
    default:
        ThrowConnectionFailed(ErrorText(error), where);
    }
}

// Sets the request's proxy as the user set it for this URL: what an automatic configuration
// chooses within the stall time, else the user's own proxy unless its exceptions name the host;
// loopback and hosts that the choice sends direct connect directly. Without user settings the
// session's default (the machine's setting) stays.
void UseTheUsersProxy(HINTERNET request, const std::string& url, std::chrono::milliseconds bound)
{
    const std::optional<NetworkHelper::ProxyServer> proxy =
        NetworkHelper::UsersProxyFor(url, bound);
    if (!proxy)
        return;
    WINHTTP_PROXY_INFO chosen{};
    chosen.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    std::wstring name;
    if (!proxy->host.empty())
    {
        name = Wide(proxy->host + ":" + std::to_string(proxy->port));
        chosen.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        chosen.lpszProxy = name.data();
    }
    ::WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &chosen, sizeof chosen);
}

// The length in characters of a header as WinHTTP would return it, 0 when it is missing.
DWORD HeaderLength(HINTERNET request, DWORD query)
{
    DWORD bytes = 0;
    if (!::WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes,
                               WINHTTP_NO_HEADER_INDEX) &&
        ::GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        return bytes / sizeof(wchar_t);
    return 0;
}

// The announced length of the body, or -1 when there is none that can be read.
long long ContentLength(HINTERNET request)
{
    wchar_t text[32] = {};
    DWORD bytes = sizeof text;
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                               text, &bytes, WINHTTP_NO_HEADER_INDEX))
        return -1;
    long long length = 0;
    for (const wchar_t* digit = text; *digit; ++digit)
    {
        if (*digit < L'0' || *digit > L'9' || length > (1LL << 50))
            return -1;
        length = length * 10 + (*digit - L'0');
    }
    return text[0] ? length : -1;
}

// Sends the request and receives the answer into the transfer.
void Receive(HINTERNET request, std::uint32_t stallSeconds, Clock::time_point deadline,
             Transfer& transfer, const std::string& where)
{
    DWORD headerLimit = MaxHeaderBytes;
    ::WinHttpSetOption(request, WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &headerLimit,
                       sizeof headerLimit);
    if (!::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                              0, 0) ||
        !::WinHttpReceiveResponse(request, nullptr))
        ThrowError(::GetLastError(), where);
    // The status line and every header line, each with its line end, as they came.
    if (HeaderLength(request, WINHTTP_QUERY_RAW_HEADERS_CRLF) > MaxHeaderBytes)
        ThrowHeaderTooLong(where);

    DWORD status = 0;
    DWORD statusBytes = sizeof status;
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes,
                               WINHTTP_NO_HEADER_INDEX))
        ThrowError(::GetLastError(), where);
    if (status != 200)
        ThrowStatus(static_cast<long>(status), where);
    const long long announced = ContentLength(request);
    transfer.announced = announced;
    const auto endedEarly = [&]
    { return announced >= 0 && transfer.received < static_cast<std::uint64_t>(announced); };
    // A transfer that breaks off after waiting about the stall time stalled, whichever way the
    // connection then ended; one that breaks off sooner ended early.
    Clock::time_point lastData = Clock::now();
    const auto stalled = [&]
    { return Clock::now() - lastData >= std::chrono::milliseconds(stallSeconds * 900); };

    std::vector<char> buffer(64 * 1024);
    Clock::time_point windowStart = lastData;
    std::uint64_t windowBytes = 0;
    for (;;)
    {
        DWORD count = 0;
        if (!::WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &count))
        {
            const DWORD error = ::GetLastError();
            if (stalled())
                ThrowStalled(where);
            if (endedEarly())
                ThrowEndedEarly(where);
            ThrowError(error, where);
        }
        if (count == 0)
            break;
        lastData = Clock::now();
        if (count > transfer.limit - transfer.received)
            ThrowOversized(where);
        transfer.received += count;
        if (!transfer.write(buffer.data(), count))
            ThrowWriteFailed(where);

        if (lastData > deadline)
            ThrowStalled(where);
        windowBytes += count;
        if (lastData - windowStart >= std::chrono::seconds(stallSeconds))
        {
            if (windowBytes < std::uint64_t(LowSpeedLimit) * stallSeconds)
                ThrowStalled(where);
            windowStart = lastData;
            windowBytes = 0;
        }
    }
    if (endedEarly())
    {
        if (stalled())
            ThrowStalled(where);
        ThrowEndedEarly(where);
    }
}
} // namespace

bool StartTransfers()
{
    return true;
}

void StopTransfers() {}

void Perform(const std::string& url, std::uint32_t stallSeconds, Transfer& transfer)
{
    const std::string where = " (" + url + ")";
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(Deadline(stallSeconds, transfer.limit));

    const std::wstring wideUrl = Wide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (wideUrl.empty() || !::WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.dwHostNameLength == 0)
        ThrowConnectionFailed("not an http or https URL", where);
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    const Internet session(::WinHttpOpen(L"CorvaneUpdateService/1",
                                         WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                         WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        throw Failure(Internal, "Couldn't start a transfer");
    // Connecting, sending and each wait for data may take the stall time.
    const int stallMilliseconds =
        static_cast<int>(std::min<std::uint64_t>(std::uint64_t{stallSeconds} * 1000, 0x7fffffff));
    ::WinHttpSetTimeouts(session.get(), stallMilliseconds, stallMilliseconds, stallMilliseconds,
                         stallMilliseconds);
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    ::WinHttpSetOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);

    const Internet connection(::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection)
        ThrowError(::GetLastError(), where);
    const HINTERNET request =
        ::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                             WINHTTP_DEFAULT_ACCEPT_TYPES,
                             parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (!request)
        ThrowError(::GetLastError(), where);
    UseTheUsersProxy(request, url, std::chrono::milliseconds(stallMilliseconds));
    // The watchdog closes the request when the deadline passes; otherwise it is closed here.
    Watchdog watchdog(request, deadline);
    try
    {
        Receive(request, stallSeconds, deadline, transfer, where);
    }
    catch (const Failure&)
    {
        if (watchdog.Stop())
            ThrowStalled(where);
        ::WinHttpCloseHandle(request);
        throw;
    }
    if (!watchdog.Stop())
        ::WinHttpCloseHandle(request);
}
} // namespace UpdateServiceCom
