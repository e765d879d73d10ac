#pragma once

#include <boost/filesystem/path.hpp>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

namespace DigitalSignatureHelper
{
namespace Detail
{
// A PE file (PE32 or PE32+) opened for checking its embedded Authenticode signature. Every
// offset and size read from the file is checked against the file before use, so a truncated or
// hostile file is simply rejected.
class PeImage
{
public:
    // Opens the file and locates its certificate table. Null when the file cannot be read, is not
    // a PE file, or carries no PKCS #7 signed-data certificate.
    static std::unique_ptr<PeImage> Open(const boost::filesystem::path& path);

    // The DER encoding of the first PKCS #7 signed-data certificate of the table.
    const std::vector<unsigned char>& SignedData() const { return signedData; }

    // Passes, in file order, every byte that the Authenticode image digest covers: the whole file
    // up to the certificate table, except the checksum field and the security directory entry.
    // False when the file can no longer be read.
    using Sink = std::function<void(const unsigned char* data, std::size_t size)>;
    bool HashedContent(const Sink& sink);

private:
    PeImage() = default;
    bool Read(std::uint64_t offset, void* buffer, std::size_t size);
    bool Feed(std::uint64_t begin, std::uint64_t end, const Sink& sink);

    std::ifstream file;
    std::uint64_t checksumOffset = 0;
    std::uint64_t securityEntryOffset = 0;
    std::uint64_t certificateTableOffset = 0;
    std::vector<unsigned char> signedData;
};
} // namespace Detail
} // namespace DigitalSignatureHelper
