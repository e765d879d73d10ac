#include "Http.h"

#include "Crypto.h"
#include "Failure.h"
#include "HttpTransfer.h"

#include <algorithm>
#include <fstream>
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

std::string HttpClient::Download(const std::string& url, const std::filesystem::path& file,
                                 std::uint64_t size,
                                 const std::function<void(std::uint64_t)>& progress) const
{
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    if (!stream)
        throw Failure(LocalFileError, "Couldn't create " + file.string());
    Sha256 digest;
    Transfer transfer;
    transfer.limit = size;
    transfer.write = [&](const char* data, std::size_t count)
    {
        digest.Add(data, count);
        if (!stream.write(data, static_cast<std::streamsize>(count)))
            return false;
        progress(transfer.received);
        return true;
    };
    try
    {
        Perform(url, stallSeconds, transfer);
        if (!stream.flush())
            throw Failure(LocalFileError, "Couldn't write " + file.string());
        if (transfer.received != size)
            throw Failure(Truncated,
                          "The file ended after " + std::to_string(transfer.received) + " of " +
                              std::to_string(size) + " bytes (" + url + ")",
                          QueryConnection);
    }
    catch (...)
    {
        stream.close();
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        throw;
    }
    return digest.Finish();
}
std::string HttpClient::FetchStart(const std::string& url, std::size_t bytes,
                                   std::int64_t& announced) const
{
    std::string start;
    Transfer transfer;
    transfer.limit = ~std::uint64_t{0};
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
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    if (!stream)
        throw Failure(LocalFileError, "Couldn't create " + file.string());
    Transfer transfer;
    transfer.limit = maxBytes;
    transfer.write = [&](const char* data, std::size_t count)
    {
        if (transfer.announced >= 0 && transfer.received > std::uint64_t(transfer.announced))
            return false;
        if (!stream.write(data, static_cast<std::streamsize>(count)))
            return false;
        progress(transfer.received);
        return true;
    };
    try
    {
        Perform(url, stallSeconds, transfer);
        if (!stream.flush())
            throw Failure(LocalFileError, "Couldn't write " + file.string());
        if (transfer.announced >= 0 && transfer.received != std::uint64_t(transfer.announced))
            throw Failure(Truncated,
                          "The file ended after " + std::to_string(transfer.received) + " of " +
                              std::to_string(transfer.announced) + " bytes (" + url + ")",
                          QueryConnection);
    }
    catch (...)
    {
        stream.close();
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        throw;
    }
    return transfer.received;
}
} // namespace UpdateServiceCom
