// Transfers through WinHTTP, with the limits of the other platforms: time-outs against stalling
// servers, a lowest rate over the stall time, a deadline per transfer and a limit on the response
// headers. Redirects are not followed.
#include "Http.h"
#include "HttpTransfer.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <memory>
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
} // namespace

bool StartTransfers()
{
    return true;
}

void StopTransfers() {}

void Perform(const std::string& url, std::uint32_t stallSeconds, Transfer& transfer)
{
    using Clock = std::chrono::steady_clock;
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
    const Internet request(
        ::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                             WINHTTP_DEFAULT_ACCEPT_TYPES,
                             parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
    if (!request)
        ThrowError(::GetLastError(), where);
    DWORD headerLimit = MaxHeaderBytes;
    ::WinHttpSetOption(request.get(), WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &headerLimit,
                       sizeof headerLimit);
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr))
        ThrowError(::GetLastError(), where);
    // The status line and every header line, each with its line end, as they came.
    if (HeaderLength(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF) > MaxHeaderBytes)
        ThrowHeaderTooLong(where);

    DWORD status = 0;
    DWORD statusBytes = sizeof status;
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes,
                               WINHTTP_NO_HEADER_INDEX))
        ThrowError(::GetLastError(), where);
    if (status != 200)
        ThrowStatus(static_cast<long>(status), where);
    const long long announced = ContentLength(request.get());
    const auto endedEarly = [&]
    { return announced >= 0 && transfer.received < static_cast<std::uint64_t>(announced); };

    std::vector<char> buffer(64 * 1024);
    Clock::time_point windowStart = Clock::now();
    std::uint64_t windowBytes = 0;
    for (;;)
    {
        DWORD count = 0;
        if (!::WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                               &count))
        {
            const DWORD error = ::GetLastError();
            if (error != ERROR_WINHTTP_TIMEOUT && endedEarly())
                ThrowEndedEarly(where);
            ThrowError(error, where);
        }
        if (count == 0)
            break;
        if (count > transfer.limit - transfer.received)
            ThrowOversized(where);
        transfer.received += count;
        if (!transfer.write(buffer.data(), count))
            ThrowWriteFailed(where);

        const Clock::time_point now = Clock::now();
        if (now > deadline)
            ThrowStalled(where);
        windowBytes += count;
        if (now - windowStart >= std::chrono::seconds(stallSeconds))
        {
            if (windowBytes < std::uint64_t(LowSpeedLimit) * stallSeconds)
                ThrowStalled(where);
            windowStart = now;
            windowBytes = 0;
        }
    }
    if (endedEarly())
        ThrowEndedEarly(where);
}
} // namespace UpdateServiceCom
