#pragma once

// One HTTP GET transfer, implemented per platform (libcurl on POSIX, WinHTTP on Windows) with the
// same limits and the same failures.

#include "Failure.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

namespace UpdateServiceCom
{
// A transfer must average at least this many bytes a second over its whole length, on top of
// the time it may take to connect and to start sending, so that a server that trickles just
// above the stall limit cannot hold an update for hours.
constexpr std::uint64_t MinimumRate = 32 * 1024;

// Less than this many bytes a second over the stall time fails the transfer, so that a server
// that trickles cannot hold an update for ever.
constexpr long LowSpeedLimit = 512;

// All response headers of one transfer together may not be longer than this.
constexpr std::size_t MaxHeaderBytes = 64 * 1024;

// The longest a transfer of at most limit bytes may take, in milliseconds.
inline long Deadline(std::uint32_t stallSeconds, std::uint64_t limit)
{
    const std::uint64_t milliseconds =
        std::uint64_t{stallSeconds} * 2000 + limit * 1000 / MinimumRate;
    return static_cast<long>(std::min<std::uint64_t>(milliseconds, 0x7fffffff));
}

// Where the body of one transfer goes: at most limit bytes, each piece handed to write (false
// stops the transfer as a local write failure) after received counts it. The body of an answer
// other than 200 is dropped.
struct Transfer
{
    std::uint64_t limit = 0;
    std::uint64_t received = 0;
    // The length the server announced for the body, -1 when it announced none; known from the
    // first piece handed to write on.
    std::int64_t announced = -1;
    std::function<bool(const char*, std::size_t)> write;
};

// Runs the transfer. Redirects are not followed; a status other than 200 is a failure.
void Perform(const std::string& url, std::uint32_t stallSeconds, Transfer& transfer);

// The failures every platform reports alike, with the URL in brackets after the text.
[[noreturn]] inline void ThrowStatus(long status, const std::string& where)
{
    // The server was never reached: a retry meets the same proxy, so only its user can mend it.
    if (status == 407)
        throw Failure(ProxyAuthentication,
                      "The proxy asks for credentials (407): sign in to it, or have it let the "
                      "update through" +
                          where);
    const bool passing = status >= 500 || status == 408 || status == 429;
    throw Failure(ServerError, "The server answered " + std::to_string(status) + where,
                  passing ? QueryServer : 0);
}

[[noreturn]] inline void ThrowHeaderTooLong(const std::string& where)
{
    throw Failure(ServerError, "The server sent too long a header" + where, QueryServer);
}

[[noreturn]] inline void ThrowOversized(const std::string& where)
{
    throw Failure(Oversized, "The server sent more than expected" + where);
}

[[noreturn]] inline void ThrowStalled(const std::string& where)
{
    throw Failure(Stalled, "The server stopped sending or sent too slowly" + where,
                  QueryConnection);
}

[[noreturn]] inline void ThrowEndedEarly(const std::string& where)
{
    throw Failure(Truncated, "The transfer ended early" + where, QueryConnection);
}

[[noreturn]] inline void ThrowWriteFailed(const std::string& where)
{
    throw Failure(LocalFileError, "Couldn't write what was downloaded" + where);
}

[[noreturn]] inline void ThrowConnectionFailed(const std::string& message, const std::string& where)
{
    throw Failure(ConnectionFailed, "Couldn't download: " + message + where, QueryConnection);
}
} // namespace UpdateServiceCom
