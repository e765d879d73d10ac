#include "Http.h"

#include "Crypto.h"
#include "Failure.h"
#include "HttpTransfer.h"

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
} // namespace UpdateServiceCom
