#include "PeImage.h"

#include <algorithm>

namespace DigitalSignatureHelper
{
namespace Detail
{
namespace
{
// Offsets within the PE headers.
constexpr std::uint64_t dosHeaderSize = 64;
constexpr std::uint64_t peOffsetField = 0x3C;
constexpr std::uint64_t coffHeaderSize = 20;
constexpr std::uint64_t optionalHeaderSizeField = 16; // within the COFF header
constexpr std::uint64_t checksumField = 64;           // within the optional header
constexpr std::uint16_t pe32Magic = 0x10B;
constexpr std::uint16_t pe32PlusMagic = 0x20B;
constexpr std::uint64_t pe32DirectoryCountField = 92;
constexpr std::uint64_t pe32PlusDirectoryCountField = 108;
constexpr std::uint32_t securityDirectory = 4;
constexpr std::uint64_t directoryEntrySize = 8;

// WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the certificate.
constexpr std::uint32_t certificateHeaderSize = 8;
constexpr std::uint16_t certificateRevision1 = 0x0100;
constexpr std::uint16_t certificateRevision2 = 0x0200;
constexpr std::uint16_t certificateTypePkcsSignedData = 0x0002;

// Real certificate tables hold a few kilobytes; anything near this is not a signature.
constexpr std::uint64_t largestCertificateTable = 16 * 1024 * 1024;

std::uint16_t Word(const unsigned char* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t DoubleWord(const unsigned char* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}
} // namespace

std::unique_ptr<PeImage> PeImage::Open(const boost::filesystem::path& path)
{
    std::unique_ptr<PeImage> image(new PeImage);
    image->file.open(path.string(), std::ios::binary);
    if (!image->file)
        return nullptr;
    image->file.seekg(0, std::ios::end);
    const std::streamoff end = image->file.tellg();
    if (end < 0)
        return nullptr;
    const auto fileSize = static_cast<std::uint64_t>(end);

    unsigned char bytes[8];
    if (fileSize < dosHeaderSize || !image->Read(0, bytes, 2) || bytes[0] != 'M' ||
        bytes[1] != 'Z' || !image->Read(peOffsetField, bytes, 4))
        return nullptr;
    const std::uint64_t peHeader = DoubleWord(bytes);

    unsigned char signature[4 + coffHeaderSize];
    if (peHeader + sizeof signature > fileSize ||
        !image->Read(peHeader, signature, sizeof signature) || signature[0] != 'P' ||
        signature[1] != 'E' || signature[2] != 0 || signature[3] != 0)
        return nullptr;
    const std::uint64_t optionalHeaderSize = Word(signature + 4 + optionalHeaderSizeField);
    const std::uint64_t optionalHeader = peHeader + sizeof signature;

    if (!image->Read(optionalHeader, bytes, 2))
        return nullptr;
    std::uint64_t directoryCountField = 0;
    switch (Word(bytes))
    {
    case pe32Magic:
        directoryCountField = pe32DirectoryCountField;
        break;
    case pe32PlusMagic:
        directoryCountField = pe32PlusDirectoryCountField;
        break;
    default:
        return nullptr;
    }
    const std::uint64_t directories = directoryCountField + 4;
    const std::uint64_t securityEntry = directories + securityDirectory * directoryEntrySize;
    if (optionalHeaderSize < securityEntry + directoryEntrySize ||
        !image->Read(optionalHeader + directoryCountField, bytes, 4) ||
        DoubleWord(bytes) <= securityDirectory)
        return nullptr;

    image->checksumOffset = optionalHeader + checksumField;
    image->securityEntryOffset = optionalHeader + securityEntry;
    if (!image->Read(image->securityEntryOffset, bytes, 8))
        return nullptr;
    // The security directory holds a file offset, not a virtual address. The table must follow
    // the headers and end the file, so that the digest covers everything else in the file.
    const std::uint64_t tableOffset = DoubleWord(bytes);
    const std::uint64_t tableSize = DoubleWord(bytes + 4);
    if (tableOffset == 0 || tableSize < certificateHeaderSize ||
        tableSize > largestCertificateTable ||
        tableOffset < image->securityEntryOffset + directoryEntrySize ||
        tableOffset + tableSize != fileSize)
        return nullptr;
    image->certificateTableOffset = tableOffset;

    std::vector<unsigned char> table(static_cast<std::size_t>(tableSize));
    if (!image->Read(tableOffset, table.data(), table.size()))
        return nullptr;
    for (std::uint64_t entry = 0; entry + certificateHeaderSize <= tableSize;)
    {
        const std::uint64_t length = DoubleWord(&table[entry]);
        const std::uint16_t revision = Word(&table[entry + 4]);
        const std::uint16_t type = Word(&table[entry + 6]);
        if (length < certificateHeaderSize || length > tableSize - entry)
            return nullptr;
        if (type == certificateTypePkcsSignedData &&
            (revision == certificateRevision1 || revision == certificateRevision2))
        {
            image->signedData.assign(table.begin() +
                                         static_cast<std::ptrdiff_t>(entry + certificateHeaderSize),
                                     table.begin() + static_cast<std::ptrdiff_t>(entry + length));
            return image;
        }
        // Entries start on eight-byte boundaries.
        entry += (length + 7) & ~std::uint64_t{7};
    }
    return nullptr;
}

bool PeImage::HashedContent(const Sink& sink)
{
    return Feed(0, checksumOffset, sink) && Feed(checksumOffset + 4, securityEntryOffset, sink) &&
           Feed(securityEntryOffset + directoryEntrySize, certificateTableOffset, sink);
}

bool PeImage::Read(std::uint64_t offset, void* buffer, std::size_t size)
{
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
    return file && file.gcount() == static_cast<std::streamsize>(size);
}

bool PeImage::Feed(std::uint64_t begin, std::uint64_t end, const Sink& sink)
{
    std::vector<unsigned char> buffer(64 * 1024);
    while (begin < end)
    {
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, buffer.size()));
        if (!Read(begin, buffer.data(), size))
            return false;
        sink(buffer.data(), size);
        begin += size;
    }
    return true;
}
} // namespace Detail
} // namespace DigitalSignatureHelper
