#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace DigitalSignatureHelper
{
namespace Detail
{
// Reads exactly size bytes at a file offset into buffer; false when it cannot.
using ReadAt = std::function<bool(std::uint64_t offset, void* buffer, std::size_t size)>;

// A PE file (PE32 or PE32+) whose certificate table has the one layout that a genuine
// Authenticode signature has: the table ends the file and holds exactly one entry, a revision 2.0
// PKCS #7 signed-data certificate whose length is that of its DER encoding, followed at most by
// the zero bytes that pad the entry to eight bytes. Everything else in the file is covered by
// the image digest, so no byte of the file escapes both the digest and the signature. Every
// offset and size read from the file is checked against the file before use, so a truncated or
// hostile file is simply rejected.
class PeImage
{
public:
    // Reads the headers and the certificate table through read, which reaches a file of the
    // given size. Null when the file is not a PE file or its certificate table is missing or
    // laid out in any other way.
    static std::unique_ptr<PeImage> Open(ReadAt read, std::uint64_t fileSize);

    // The DER encoding of the PKCS #7 signed data, exactly as long as the encoding says.
    const std::vector<unsigned char>& SignedData() const { return signedData; }

    // Passes, in file order, every byte that the Authenticode image digest covers: the whole file
    // up to the certificate table, except the checksum field and the security directory entry.
    // False when the file can no longer be read.
    using Sink = std::function<void(const unsigned char* data, std::size_t size)>;
    bool HashedContent(const Sink& sink) const;

private:
    explicit PeImage(ReadAt read) : read(std::move(read)) {}
    bool Feed(std::uint64_t begin, std::uint64_t end, const Sink& sink) const;

    ReadAt read;
    std::uint64_t checksumOffset = 0;
    std::uint64_t securityEntryOffset = 0;
    std::uint64_t certificateTableOffset = 0;
    std::vector<unsigned char> signedData;
};
} // namespace Detail
} // namespace DigitalSignatureHelper
