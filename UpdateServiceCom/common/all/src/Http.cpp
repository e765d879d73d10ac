#include "Http.h"

#include "Crypto.h"
#include "Failure.h"
#include "HttpTransfer.h"

#include "FileSystemHelper/OutputFile.h"

#include <cstdio>
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
    // The file is created new, never reached through a link or a FIFO left at its name.
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    std::FILE* stream = FileSystemHelper::CreateNewFile(boost::filesystem::path(file.native()),
                                                        FileSystemHelper::Access::Shared, "wb");
    if (!stream)
        throw Failure(LocalFileError, "Couldn't create " + file.string());
    Sha256 digest;
    Transfer transfer;
    transfer.limit = size;
    transfer.write = [&](const char* data, std::size_t count)
    {
        digest.Add(data, count);
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
        if (transfer.received != size)
            throw Failure(Truncated,
                          "The file ended after " + std::to_string(transfer.received) + " of " +
                              std::to_string(size) + " bytes (" + url + ")",
                          QueryConnection);
    }
    catch (...)
    {
        if (stream)
            std::fclose(stream);
        std::filesystem::remove(file, ignored);
        throw;
    }
    return digest.Finish();
}
} // namespace UpdateServiceCom
