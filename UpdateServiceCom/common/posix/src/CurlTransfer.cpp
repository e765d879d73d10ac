// Transfers through libcurl.
#include "Http.h"
#include "HttpTransfer.h"

#include <curl/curl.h>
#include <memory>

namespace UpdateServiceCom
{
namespace
{
struct Sink
{
    CURL* curl = nullptr;
    Transfer* transfer = nullptr;
    std::size_t headerBytes = 0;
    bool oversized = false;
    bool headersTooLong = false;
    bool headersComplete = false;
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

std::size_t WriteBody(char* data, std::size_t, std::size_t count, void* user)
{
    Sink& sink = *static_cast<Sink*>(user);
    Transfer& transfer = *sink.transfer;
    long status = 0;
    curl_easy_getinfo(sink.curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
        return count;
    if (count > transfer.limit - transfer.received)
    {
        sink.oversized = true;
        return 0; // stops the transfer
    }
    if (transfer.received == 0)
    {
        curl_off_t length = -1;
        if (curl_easy_getinfo(sink.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
            transfer.announced = length;
    }
    transfer.received += count;
    return transfer.write(data, count) ? count : 0;
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
} // namespace

bool StartTransfers()
{
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

void StopTransfers()
{
    curl_global_cleanup();
}

void Perform(const std::string& url, std::uint32_t stallSeconds, Transfer& transfer)
{
    CurlHandle curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl)
        throw Failure(Internal, "Couldn't start a transfer");
    Sink sink;
    sink.curl = curl.get();
    sink.transfer = &transfer;
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "CorvaneUpdateService/1");
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(stallSeconds));
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, LowSpeedLimit);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stallSeconds));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, Deadline(stallSeconds, transfer.limit));
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &CountHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &sink);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    char message[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, message);

    const CURLcode result = curl_easy_perform(handle);
    const std::string where = " (" + url + ")";
    if (sink.headersTooLong || RefusedLongHeader(result, sink))
        ThrowHeaderTooLong(where);
    if (sink.oversized || result == CURLE_FILESIZE_EXCEEDED)
        ThrowOversized(where);
    switch (result)
    {
    case CURLE_OK:
        break;
    case CURLE_OPERATION_TIMEDOUT:
        ThrowStalled(where);
    case CURLE_PARTIAL_FILE:
        ThrowEndedEarly(where);
    case CURLE_WRITE_ERROR:
        ThrowWriteFailed(where);
    case CURLE_OUT_OF_MEMORY:
        throw Failure(Internal, "Out of memory" + where);
    default:
        ThrowConnectionFailed(message, where);
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
        ThrowStatus(status, where);
}
} // namespace UpdateServiceCom
