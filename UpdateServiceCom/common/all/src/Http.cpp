#include "Http.h"

#include "Crypto.h"
#include "Failure.h"
#include "HttpTransfer.h"

#include "FileSystemHelper/OutputFile.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <system_error>

namespace UpdateServiceCom
{
HttpClient::HttpClient(std::uint32_t stallSeconds) : stallSeconds(stallSeconds) {}

std::string HttpClient::Fetch(const std::string& url, std::size_t maxBytes) const
{
    std::string body;
    Transfer transfer;
    transfer.limit = maxBytes;
    transfer.write = [&body](const char* data, std::size_t count)
    {
        body.append(data, count);
        return true;
    };
    Perform(url, stallSeconds, transfer);
    return body;
}

namespace
{
// Receives url into file, removing the file when that fails. expected: the size the file must
// come to, or none when only the server's announced length can say.
std::uint64_t Receive(const std::string& url, std::uint32_t stallSeconds,
                      const std::filesystem::path& file, std::uint64_t limit,
                      std::optional<std::uint64_t> expected,
                      const std::function<void(std::uint64_t)>& progress, Sha256* digest)
{
    // The file is created new, never reached through a link or a FIFO left at its name.
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    std::FILE* stream = FileSystemHelper::CreateNewFile(boost::filesystem::path(file.native()),
                                                        FileSystemHelper::Access::Shared, "wb");
    if (!stream)
        throw Failure(LocalFileError, "Couldn't create " + file.string());
    Transfer transfer;
    transfer.limit = limit;
    transfer.write = [&](const char* data, std::size_t count)
    {
        if (!expected && transfer.announced >= 0 &&
            transfer.received > static_cast<std::uint64_t>(transfer.announced))
            return false;
        if (digest)
            digest->Add(data, count);
        if (std::fwrite(data, 1, count, stream) != count)
            return false;
        progress(transfer.received);
        return true;
    };
    try
    {
        Perform(url, stallSeconds, transfer);
        const bool flushed = std::fflush(stream) == 0 && !std::ferror(stream);
        const bool closed = std::fclose(stream) == 0;
        stream = nullptr;
        if (!flushed || !closed)
            throw Failure(LocalFileError, "Couldn't write " + file.string());
        if (!expected && transfer.announced >= 0)
            expected = static_cast<std::uint64_t>(transfer.announced);
        if (expected && transfer.received != *expected)
            throw Failure(Truncated,
                          "The file ended after " + std::to_string(transfer.received) + " of " +
                              std::to_string(*expected) + " bytes (" + url + ")",
                          QueryConnection);
    }
    catch (...)
    {
        if (stream)
            std::fclose(stream);
        std::filesystem::remove(file, ignored);
        throw;
    }
    return transfer.received;
}
} // namespace

std::string HttpClient::Download(const std::string& url, const std::filesystem::path& file,
                                 std::uint64_t size,
                                 const std::function<void(std::uint64_t)>& progress) const
{
    Sha256 digest;
    Receive(url, stallSeconds, file, size, size, progress, &digest);
    return digest.Finish();
}

std::string HttpClient::FetchStart(const std::string& url, std::size_t bytes,
                                   std::int64_t& announced) const
{
    std::string start;
    Transfer transfer;
    // The transfer stops after the first bytes; the limit only has to let the first pieces in.
    transfer.limit = std::uint64_t{1} << 32;
    transfer.write = [&](const char* data, std::size_t count)
    {
        start.append(data, std::min(count, bytes - start.size()));
        // Enough: the transfer stops here.
        return start.size() < bytes;
    };
    try
    {
        Perform(url, stallSeconds, transfer);
    }
    catch (const Failure& failure)
    {
        if (failure.Code() != LocalFileError || start.size() != bytes)
            throw;
    }
    announced = transfer.announced;
    return start;
}

std::uint64_t HttpClient::DownloadUpTo(const std::string& url, const std::filesystem::path& file,
                                       std::uint64_t maxBytes,
                                       const std::function<void(std::uint64_t)>& progress) const
{
    return Receive(url, stallSeconds, file, maxBytes, std::nullopt, progress, nullptr);
}
} // namespace UpdateServiceCom
