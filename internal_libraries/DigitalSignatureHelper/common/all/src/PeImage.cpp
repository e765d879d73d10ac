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
constexpr std::uint64_t sectionCountField = 2;        // within the COFF header
constexpr std::uint64_t optionalHeaderSizeField = 16; // within the COFF header
constexpr std::uint64_t checksumField = 64;           // within the optional header
constexpr std::uint16_t pe32Magic = 0x10B;
constexpr std::uint16_t pe32PlusMagic = 0x20B;
constexpr std::uint64_t pe32DirectoryCountField = 92;
constexpr std::uint64_t pe32PlusDirectoryCountField = 108;
constexpr std::uint32_t securityDirectory = 4;
constexpr std::uint64_t directoryEntrySize = 8;
constexpr std::uint64_t sectionHeaderSize = 40;
constexpr std::uint64_t sectionRawSizeField = 16; // within a section header
constexpr std::uint64_t sectionRawDataField = 20;

// WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the certificate. Entries and the
// table itself are aligned to eight bytes.
constexpr std::uint32_t certificateHeaderSize = 8;
constexpr std::uint16_t certificateRevision2 = 0x0200;
constexpr std::uint16_t certificateTypePkcsSignedData = 0x0002;
constexpr std::uint64_t certificateAlignment = 8;

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

std::uint64_t Aligned(std::uint64_t size)
{
    return (size + certificateAlignment - 1) & ~(certificateAlignment - 1);
}

// The length of the DER element (a SEQUENCE, as PKCS #7 content info is) at the start of bytes,
// header included; zero when there is no such element of definite length within size.
std::uint64_t DerSequenceLength(const unsigned char* bytes, std::uint64_t size)
{
    if (size < 2 || bytes[0] != 0x30)
        return 0;
    std::uint64_t header = 2;
    std::uint64_t length = bytes[1];
    if (length & 0x80)
    {
        const std::uint64_t lengthBytes = length & 0x7F;
        if (lengthBytes == 0 || lengthBytes > 4 || size < 2 + lengthBytes)
            return 0;
        length = 0;
        for (std::uint64_t i = 0; i < lengthBytes; ++i)
            length = length << 8 | bytes[2 + i];
        header += lengthBytes;
    }
    return length <= size - header ? header + length : 0;
}
} // namespace

std::unique_ptr<PeImage> PeImage::Open(ReadAt read, std::uint64_t fileSize)
{
    std::unique_ptr<PeImage> image(new PeImage(std::move(read)));
    const ReadAt& Read = image->read;

    unsigned char bytes[8];
    if (fileSize < dosHeaderSize || !Read(0, bytes, 2) || bytes[0] != 'M' || bytes[1] != 'Z' ||
        !Read(peOffsetField, bytes, 4))
        return nullptr;
    const std::uint64_t peHeader = DoubleWord(bytes);

    unsigned char signature[4 + coffHeaderSize];
    if (peHeader + sizeof signature > fileSize || !Read(peHeader, signature, sizeof signature) ||
        signature[0] != 'P' || signature[1] != 'E' || signature[2] != 0 || signature[3] != 0)
        return nullptr;
    const std::uint64_t sectionCount = Word(signature + 4 + sectionCountField);
    const std::uint64_t optionalHeaderSize = Word(signature + 4 + optionalHeaderSizeField);
    const std::uint64_t optionalHeader = peHeader + sizeof signature;

    if (!Read(optionalHeader, bytes, 2))
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
        !Read(optionalHeader + directoryCountField, bytes, 4) ||
        DoubleWord(bytes) <= securityDirectory)
        return nullptr;

    image->checksumOffset = optionalHeader + checksumField;
    image->securityEntryOffset = optionalHeader + securityEntry;
    if (!Read(image->securityEntryOffset, bytes, 8))
        return nullptr;
    // The security directory holds a file offset, not a virtual address. The table must follow
    // the headers and every section's data and end the file, so that the digest covers
    // everything else in the file and nothing the loader maps lies in the table.
    const std::uint64_t tableOffset = DoubleWord(bytes);
    const std::uint64_t tableSize = DoubleWord(bytes + 4);
    const std::uint64_t sectionTable = optionalHeader + optionalHeaderSize;
    const std::uint64_t sectionTableEnd = sectionTable + sectionCount * sectionHeaderSize;
    if (tableSize < certificateHeaderSize || tableSize > largestCertificateTable ||
        tableOffset % certificateAlignment != 0 || tableOffset < sectionTableEnd ||
        tableOffset + tableSize != fileSize)
        return nullptr;
    std::vector<unsigned char> sections(static_cast<std::size_t>(sectionTableEnd - sectionTable));
    if (!sections.empty() && !Read(sectionTable, sections.data(), sections.size()))
        return nullptr;
    for (std::size_t section = 0; section < sections.size(); section += sectionHeaderSize)
    {
        const std::uint64_t rawSize = DoubleWord(&sections[section + sectionRawSizeField]);
        const std::uint64_t rawData = DoubleWord(&sections[section + sectionRawDataField]);
        if (rawSize != 0 && rawData + rawSize > tableOffset)
            return nullptr;
    }
    image->certificateTableOffset = tableOffset;

    // Exactly one entry: the signed data and at most the zero bytes that align it. Its length
    // may count that padding or not, as signing tools differ there, but nothing else.
    std::vector<unsigned char> table(static_cast<std::size_t>(tableSize));
    if (!Read(tableOffset, table.data(), table.size()))
        return nullptr;
    const std::uint64_t length = DoubleWord(&table[0]);
    const std::uint64_t derLength =
        DerSequenceLength(&table[certificateHeaderSize], tableSize - certificateHeaderSize);
    const std::uint64_t entryEnd = certificateHeaderSize + derLength;
    if (Word(&table[4]) != certificateRevision2 ||
        Word(&table[6]) != certificateTypePkcsSignedData || derLength == 0 ||
        (length != entryEnd && length != Aligned(entryEnd)) || tableSize != Aligned(length) ||
        !std::all_of(table.begin() + static_cast<std::ptrdiff_t>(entryEnd), table.end(),
                     [](unsigned char byte) { return byte == 0; }))
        return nullptr;
    image->signedData.assign(table.begin() + certificateHeaderSize,
                             table.begin() + static_cast<std::ptrdiff_t>(entryEnd));
    return image;
}

bool PeImage::HashedContent(const Sink& sink) const
{
    return Feed(0, checksumOffset, sink) && Feed(checksumOffset + 4, securityEntryOffset, sink) &&
           Feed(securityEntryOffset + directoryEntrySize, certificateTableOffset, sink);
}

bool PeImage::Feed(std::uint64_t begin, std::uint64_t end, const Sink& sink) const
{
    std::vector<unsigned char> buffer(64 * 1024);
    while (begin < end)
    {
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, buffer.size()));
        if (!read(begin, buffer.data(), size))
            return false;
        sink(buffer.data(), size);
        begin += size;
    }
    return true;
}
} // namespace Detail
} // namespace DigitalSignatureHelper
