#include "Http.h"

#include "Crypto.h"
#include "Failure.h"

#include <algorithm>
#include <curl/curl.h>
#include <memory>
#include <system_error>

namespace UpdateServiceCom
{
namespace
{
// A transfer must average at least this many bytes a second over its whole length, on top of
// the time it may take to connect and to start sending, so that a server that trickles just
// above the stall limit cannot hold an update for hours.
constexpr std::uint64_t MinimumRate = 32 * 1024;

// All response headers of one transfer together may not be longer than this.
constexpr std::size_t MaxHeaderBytes = 64 * 1024;

// Where the body of one transfer goes. The body of an answer other than 200 is dropped.
struct Sink
{
    CURL* curl = nullptr;
    std::uint64_t limit = 0;
    std::uint64_t received = 0;
    std::size_t headerBytes = 0;
    bool oversized = false;
    bool headersTooLong = false;
    bool headersComplete = false;
    std::function<bool(const char*, std::size_t)> write;
};

std::size_t CountHeader(char* data, std::size_t, std::size_t count, void* user)
{
    Sink& sink = *static_cast<Sink*>(user);
    if (count > MaxHeaderBytes - sink.headerBytes)
    {
        sink.headersTooLong = true;
        return 0; // stops the transfer
    }
    sink.headerBytes += count;
    // The empty line that ends the headers.
    if (count <= 2 && (count == 0 || data[0] == '\r' || data[0] == '\n'))
        sink.headersComplete = true;
    return count;
}

// libcurl refuses a single header line that outgrows its own buffer before the header callback
// sees it; older versions report that as running out of memory. Running out of memory before
// the headers are complete is taken to be that refusal.
bool RefusedLongHeader(CURLcode result, const Sink& sink)
{
#if LIBCURL_VERSION_NUM >= 0x080600
    if (result == CURLE_TOO_LARGE)
        return true;
#endif
    return result == CURLE_OUT_OF_MEMORY && !sink.headersComplete;
}

// The longest a transfer of at most limit bytes may take, in milliseconds.
long Deadline(std::uint32_t stallSeconds, std::uint64_t limit)
{
    const std::uint64_t milliseconds =
        std::uint64_t{stallSeconds} * 2000 + limit * 1000 / MinimumRate;
    return static_cast<long>(std::min<std::uint64_t>(milliseconds, 0x7fffffff));
}

std::size_t WriteBody(char* data, std::size_t, std::size_t count, void* user)
{
    Sink& sink = *static_cast<Sink*>(user);
    long status = 0;
    curl_easy_getinfo(sink.curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
        return count;
    if (count > sink.limit - sink.received)
    {
        sink.oversized = true;
        return 0; // stops the transfer
    }
    sink.received += count;
    return sink.write(data, count) ? count : 0;
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

void Perform(const std::string& url, std::uint32_t stallSeconds, Sink& sink)
{
    CurlHandle curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl)
        throw Failure(Internal, "Couldn't start a transfer");
    sink.curl = curl.get();
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "CorvaneUpdateService/1");
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(stallSeconds));
    // Less than 512 bytes a second over the stall time fails the transfer, so that a server
    // that trickles cannot hold an update for ever.
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 512L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stallSeconds));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, Deadline(stallSeconds, sink.limit));
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &CountHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &sink);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    char message[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, message);

    const CURLcode result = curl_easy_perform(handle);
    const std::string where = " (" + url + ")";
    if (sink.headersTooLong || RefusedLongHeader(result, sink))
        throw Failure(ServerError, "The server sent too long a header" + where, QueryServer);
    if (sink.oversized || result == CURLE_FILESIZE_EXCEEDED)
        throw Failure(Oversized, "The server sent more than expected" + where);
    switch (result)
    {
    case CURLE_OK:
        break;
    case CURLE_OPERATION_TIMEDOUT:
        throw Failure(Stalled, "The server stopped sending or sent too slowly" + where,
                      QueryConnection);
    case CURLE_PARTIAL_FILE:
        throw Failure(Truncated, "The transfer ended early" + where, QueryConnection);
    case CURLE_WRITE_ERROR:
        throw Failure(LocalFileError, "Couldn't write what was downloaded" + where);
    case CURLE_OUT_OF_MEMORY:
        throw Failure(Internal, "Out of memory" + where);
    default:
        throw Failure(ConnectionFailed, std::string("Couldn't download: ") + message + where,
                      QueryConnection);
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
    {
        const bool passing = status >= 500 || status == 408 || status == 429;
        throw Failure(ServerError, "The server answered " + std::to_string(status) + where,
                      passing ? QueryServer : 0);
    }
}
} // namespace

HttpClient::HttpClient(std::uint32_t stallSeconds) : stallSeconds(stallSeconds) {}

std::string HttpClient::Fetch(const std::string& url, std::size_t maxBytes) const
{
    std::string body;
    Sink sink;
    sink.limit = maxBytes;
    sink.write = [&body](const char* data, std::size_t count)
    {
        body.append(data, count);
        return true;
    };
    Perform(url, stallSeconds, sink);
    return body;
}

std::string HttpClient::Download(const std::string& url, const std::filesystem::path& file,
                                 std::uint64_t size,
                                 const std::function<void(std::uint64_t)>& progress) const
{
    std::unique_ptr<std::FILE, decltype(&std::fclose)> stream(
        std::fopen(file.string().c_str(), "wb"), &std::fclose);
    if (!stream)
        throw Failure(LocalFileError, "Couldn't create " + file.string());
    Sha256 digest;
    Sink sink;
    sink.limit = size;
    sink.write = [&](const char* data, std::size_t count)
    {
        digest.Add(data, count);
        if (std::fwrite(data, 1, count, stream.get()) != count)
            return false;
        progress(sink.received);
        return true;
    };
    try
    {
        Perform(url, stallSeconds, sink);
        if (std::fflush(stream.get()) != 0)
            throw Failure(LocalFileError, "Couldn't write " + file.string());
        if (sink.received != size)
            throw Failure(Truncated,
                          "The file ended after " + std::to_string(sink.received) + " of " +
                              std::to_string(size) + " bytes (" + url + ")",
                          QueryConnection);
    }
    catch (...)
    {
        stream.reset();
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        throw;
    }
    return digest.Finish();
}
} // namespace UpdateServiceCom
