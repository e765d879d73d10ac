// The signature checks against the platform's trust provider, on programs signed at build time
// whose test root the tests place in the machine's certificate store.
#include "DigitalSignatureHelper/Signature.h"
#include "ExceptionHelper/Exception.h"
#include "Installation.h"
#include "PeLayout.h"
#include "SignerName.h"
#include "WindowsFixtures.h"

#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>

namespace fs = boost::filesystem;
using CorvaneTest::PeLayout;
using CorvaneTest::SignerName;
using CorvaneTest::SignerNameFailure;
using CorvaneTest::Windows::RunningOnWine;
using CorvaneTest::Windows::SignedFile;
using CorvaneTest::Windows::TrustedTestRoot;
using DigitalSignatureHelper::Signature;

namespace
{
std::string ReadBytes(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

class SignatureTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { root = std::make_unique<TrustedTestRoot>(); }
    static void TearDownTestSuite() { root.reset(); }

    // A file of the given bytes in the test's own folder.
    std::wstring Copy(const std::string& name, const std::string& bytes) const
    {
        const fs::path path = folder.Path() / name;
        std::ofstream(path.wstring().c_str(), std::ios::binary) << bytes;
        return path.wstring();
    }

    static inline std::unique_ptr<TrustedTestRoot> root;
    CorvaneTest::TemporaryFolder folder;
};
} // namespace

TEST_F(SignatureTest, SignedFilesVerifyAndNameTheirSigner)
{
    for (const char* name : {"tellmark", "tellmark-sha1"})
    {
        EXPECT_TRUE(Signature::Verify(SignedFile(name))) << name;
        EXPECT_EQ(SignerName(SignedFile(name)), L"Tellmark Limited") << name;
    }
    EXPECT_TRUE(Signature::Verify(SignedFile("international")));
    EXPECT_EQ(SignerName(SignedFile("international")), L"Corvan\u00E9 S\u00F8ftware \u2713");
    // The name is read without verifying.
    EXPECT_EQ(SignerName(SignedFile("foreign")), L"Tellmark Limited");
    // Without a common name the display name is the organization.
    EXPECT_EQ(SignerName(SignedFile("organization")), L"Corvane Software");
}

TEST_F(SignatureTest, FilesWithoutSignatureHaveNoSignerName)
{
    for (const std::wstring& path :
         {CorvaneTest::Windows::UnsignedProgram(), (folder.Path() / "missing.exe").wstring(),
          Copy("text.exe", "MZ but not a program at all, only some words."), Copy("empty.exe", ""),
          folder.Path().wstring()})
    {
        EXPECT_FALSE(Signature::Verify(path));
        EXPECT_EQ(SignerNameFailure(path), "Couldn't CryptQueryObject");
    }
}

TEST_F(SignatureTest, ChangesAfterSigningBreakTheSignature)
{
    const std::string original = ReadBytes(SignedFile("tellmark"));
    const PeLayout layout(original);

    std::string code = original;
    code.at(layout.firstSectionData + 3) ^= 0x40;
    std::string header = original;
    header.at(layout.pe + 8) ^= 0x01; // the link time stamp
    std::string signature = original;
    signature.at(original.size() - 40) ^= 0x01; // inside the signer's signature value
    const std::string appended = original + std::string(8, '\0');
    for (const std::string& bytes : {code, header, signature, appended})
        EXPECT_FALSE(Signature::Verify(Copy("altered.exe", bytes)));
    // The name is read without verifying, so it stays readable after a change to the code.
    EXPECT_EQ(SignerName(Copy("altered-code.exe", code)), L"Tellmark Limited");

    // The checksum is not covered by the signature (it changes when the signature is added).
    std::string checksum = original;
    CorvaneTest::Write32(checksum, layout.checksum, 0x12345678);
    EXPECT_TRUE(Signature::Verify(Copy("checksum.exe", checksum)));
}

TEST_F(SignatureTest, CertificateTablesHoldNothingButTheSignature)
{
    // The trust provider itself accepts some of these unless the machine opts in to its strict
    // check.
    for (const auto& [name, bytes] : CorvaneTest::TamperedCertificateTables(
             ReadBytes(SignedFile("tellmark")), "CORVANE hidden payload"))
    {
        const std::wstring path = Copy("tampered.exe", bytes);
        EXPECT_FALSE(Signature::Verify(path)) << name;
    }
}

TEST_F(SignatureTest, SignersOutsideTheTrustedCodeSigningChainAreRejected)
{
    // Wine's trust provider checks the image digest and the signature, but neither the chain
    // to a trusted root nor the certificates' validity or usage: a signer from an unknown root
    // verifies there.
    if (RunningOnWine())
        GTEST_SKIP() << "Wine does not check the signer's chain";

    EXPECT_FALSE(Signature::Verify(SignedFile("foreign")));
    EXPECT_FALSE(Signature::Verify(SignedFile("server-only")));

    std::string certificate = ReadBytes(SignedFile("tellmark"));
    certificate.at(PeLayout(certificate).certificateTable + 100) ^= 0x01;
    EXPECT_FALSE(Signature::Verify(Copy("certificate.exe", certificate)));

    // Without the test root nothing of it is trusted.
    root.reset();
    EXPECT_FALSE(Signature::Verify(SignedFile("tellmark")));
    root = std::make_unique<TrustedTestRoot>();
    EXPECT_TRUE(Signature::Verify(SignedFile("tellmark")));
}

TEST_F(SignatureTest, MalformedFilesAreRejectedWithoutHarm)
{
    const std::string original = ReadBytes(SignedFile("tellmark"));
    const PeLayout layout(original);
    for (const std::size_t length :
         {std::size_t{1}, std::size_t{64}, layout.pe + 2, layout.firstSectionData,
          layout.certificateTable, layout.certificateTable + 7, original.size() - 1})
    {
        const std::wstring path = Copy("truncated.exe", original.substr(0, length));
        EXPECT_FALSE(Signature::Verify(path)) << length;
        EXPECT_NE(SignerNameFailure(path), "another error") << length;
    }

    // Random damage to the headers and the signature: any answer but a crash or a foreign error.
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> headerByte(0, layout.firstSection + 5 * 40);
    std::uniform_int_distribution<std::size_t> signatureByte(layout.certificateTable,
                                                             original.size() - 1);
    for (int round = 0; round < 100; ++round)
    {
        std::string bytes = original;
        for (int change = 0; change < 4; ++change)
        {
            auto& distribution = round % 2 ? headerByte : signatureByte;
            bytes[distribution(random)] = static_cast<char>(random());
        }
        const std::wstring path = Copy("random.exe", bytes);
        Signature::Verify(path);
        EXPECT_NE(SignerNameFailure(path), "another error");
    }
}
