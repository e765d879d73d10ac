#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace UpdateServiceCom
{
// Plain HTTP GET transfers with time-outs against stalling servers, a deadline per transfer
// derived from the most it may bring, and a limit on the response headers. Every failure is
// thrown as a Failure; connection trouble, server errors 5xx, overlong headers, missed deadlines
// and short files are marked transient.
class HttpClient
{
public:
    explicit HttpClient(std::uint32_t stallSeconds);

    // The body of url, refused as Oversized when longer than maxBytes.
    std::string Fetch(const std::string& url, std::size_t maxBytes) const;

    // Downloads url into file, which must come to exactly size bytes, reporting the bytes
    // received so far; returns the SHA-256 digest of what arrived. The file is removed when the
    // download fails.
    std::string Download(const std::string& url, const std::filesystem::path& file,
                         std::uint64_t size,
                         const std::function<void(std::uint64_t)>& progress) const;

    // The first bytes of url's body (fewer when it is shorter), without fetching the rest, and
    // the length the server announced for the whole body (-1 when it announced none).
    std::string FetchStart(const std::string& url, std::size_t bytes,
                           std::int64_t& announced) const;

    // Downloads url into file as Download does, for a file whose size is known only from what
    // the server announces: it must keep to that and may not pass maxBytes. Returns the size.
    std::uint64_t DownloadUpTo(const std::string& url, const std::filesystem::path& file,
                               std::uint64_t maxBytes,
                               const std::function<void(std::uint64_t)>& progress) const;

private:
    std::uint32_t stallSeconds;
};

// Sets up the platform's transfer library for the whole process, and releases it again; every
// successful start is matched by a stop.
bool StartTransfers();
void StopTransfers();
} // namespace UpdateServiceCom
