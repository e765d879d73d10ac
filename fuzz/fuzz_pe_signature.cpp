// The PKCS #7 signed data inside an otherwise valid image: the input becomes the certificate of
// the only certificate-table entry of the unsigned test program, so that every input reaches
// the signature parser, the image digest and the chain check.
// Invariant: a trusted signature is exactly one DER
// element, followed by no more than the zero bytes that pad the entry to eight bytes.
#include "PeSignatureSupport.h"

namespace
{
std::string image;
std::uint32_t securityEntry = 0;

std::uint32_t DoubleWord(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= std::uint32_t{static_cast<unsigned char>(bytes.at(at + i))} << (8 * i);
    return value;
}

void PutDoubleWord(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// The length of the DER element at the start of bytes (tag, length and contents), or 0.
std::size_t DerLength(const std::string& bytes)
{
    if (bytes.size() < 2)
        return 0;
    std::size_t header = 2;
    std::size_t length = static_cast<unsigned char>(bytes[1]);
    if (length & 0x80)
    {
        const std::size_t count = length & 0x7F;
        if (count == 0 || count > 4 || bytes.size() < 2 + count)
            return 0;
        length = 0;
        for (std::size_t i = 0; i < count; ++i)
            length = length << 8 | static_cast<unsigned char>(bytes[2 + i]);
        header += count;
    }
    return header + length;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    CorvaneFuzz::TrustTestRoot();
    image = CorvaneFuzz::ReadFile(CORVANE_FUZZ_UNSIGNED_IMAGE);
    // PE32+: the security directory entry lies 144 bytes into the optional header.
    const std::uint32_t peHeader = DoubleWord(image, 0x3C);
    securityEntry = peHeader + 24 + 144;
    if (image.size() % 8 != 0 || DoubleWord(image, securityEntry) != 0)
        CorvaneFuzz::Fail("the unsigned test program is not the expected image");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string signedData = CorvaneFuzz::Bytes(data, size);
    const std::uint32_t length = static_cast<std::uint32_t>(8 + signedData.size());
    const std::uint32_t padded = (length + 7) & ~std::uint32_t{7};

    std::string file = image;
    PutDoubleWord(file, securityEntry, static_cast<std::uint32_t>(image.size()));
    PutDoubleWord(file, securityEntry + 4, padded);
    std::string header(8, '\0');
    PutDoubleWord(header, 0, length);
    header[4] = 0x00; // revision 2.0
    header[5] = 0x02;
    header[6] = 0x02; // PKCS #7 signed data
    file += header + signedData + std::string(padded - length, '\0');

    const bool trusted = CorvaneFuzz::CheckFile(
        CorvaneFuzz::WriteFile(CorvaneFuzz::ScratchFolder() / "signed.exe", file));
    if (trusted)
    {
        const std::size_t der = DerLength(signedData);
        const std::size_t entry = (8 + der + 7) & ~std::size_t{7};
        CORVANE_FUZZ_CHECK(der != 0 && signedData.size() + 8 <= entry &&
                               signedData.find_first_not_of('\0', der) == std::string::npos,
                           "trusted with " + std::to_string(signedData.size() - der) +
                               " bytes after the signature");
    }
    return 0;
}
