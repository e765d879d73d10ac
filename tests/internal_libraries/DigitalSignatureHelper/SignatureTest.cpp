// The signature checks on programs signed at build time (see SignedFiles.h), against the
// platform's trust provider with the test root trusted.
#include "DigitalSignatureHelper/Signature.h"
#include "ExceptionHelper/Exception.h"
#include "FileSystemHelper/Text.h"
#include "Installation.h"
#include "PeLayout.h"
#include "SignedFiles.h"
#include "SignerName.h"

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>
#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <random>

namespace fs = boost::filesystem;
using CorvaneTest::RunningOnWine;
using CorvaneTest::SignedFile;
using CorvaneTest::SignerName;
using CorvaneTest::SignerNameFailure;
using CorvaneTest::TrustedTestRoot;
using CorvaneTest::Write32;
using DigitalSignatureHelper::Signature;
using Layout = CorvaneTest::PeLayout;

namespace
{
bool Verify(const fs::path& path)
{
    return Signature::Verify(FileSystemHelper::WidePath(path));
}

std::optional<std::wstring> VerifiedName(const fs::path& path)
{
    return Signature::VerifiedCertificateName(FileSystemHelper::WidePath(path),
                                              Signature::SubjectSimpleDisplayName);
}

class SignatureTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { root = std::make_unique<TrustedTestRoot>(); }
    static void TearDownTestSuite() { root.reset(); }

    // A file of the given bytes in the test's own folder.
    fs::path Copy(const std::string& name, const std::string& bytes) const
    {
        const fs::path path = folder.Path() / name;
        fs::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }

    static inline std::unique_ptr<TrustedTestRoot> root;
    CorvaneTest::TemporaryFolder folder;
};

// Wine's trust provider checks the image digest and the signature itself, nothing about the
// certificates: the tests of those checks can only fail there.
#define SKIP_WHERE_CERTIFICATES_ARE_NOT_CHECKED()                                                  \
    if (RunningOnWine())                                                                           \
    GTEST_SKIP() << "Wine checks neither the signer's chain nor validity, usage or time stamps"
} // namespace

TEST_F(SignatureTest, SignedFilesVerifyAndNameTheirSigner)
{
    const struct
    {
        const char* file;
        std::wstring signer;
    } cases[] = {
        {"tellmark", L"Tellmark Limited"},
        {"tellmark-sha1", L"Tellmark Limited"},
        {"international", L"Corvan\u00E9 S\u00F8ftware \u2713"},
        {"pe32", L"Corvane Software"}, // a 32-bit program
        // Intermediate authorities come from the signature.
        {"intermediate", L"Corvane Software"},
        // A certificate without extended key usage may sign code.
        {"any-usage", L"Tellmark Limited"},
    };
    for (const auto& test : cases)
    {
        EXPECT_TRUE(Verify(SignedFile(test.file))) << test.file;
        EXPECT_EQ(SignerName(SignedFile(test.file)), test.signer) << test.file;
        EXPECT_EQ(VerifiedName(SignedFile(test.file)), test.signer) << test.file;
    }
}

TEST_F(SignatureTest, SimpleDisplayNameFallsBackThroughTheSubject)
{
    const struct
    {
        const char* file;
        std::wstring expected;
    } cases[] = {
        {"name-common", L"Common"},                     // O, OU, CN
        {"name-unit", L"Unit"},                         // C, O, OU
        {"name-organization", L"Corvane Software"},     // C, O, O
        {"organization", L"Corvane Software"},          // C, O
        {"name-email", L"sign@example.org"},            // C, e-mail; another e-mail as alt name
        {"name-alternative-email", L"alt@example.org"}, // C, L; a DNS and an e-mail alt name
        {"name-locality", L"Town"},                     // L, C
        {"name-empty", L""},                            // no subject
        {"foreign", L"Tellmark Limited"},               // read without verifying
        // Nothing is cut at an embedded NUL, so such a name never passes for a shorter one.
        {"name-nul", std::wstring(L"Tellmark Limited\0.example", 25)},
    };
    for (const auto& test : cases)
        EXPECT_EQ(SignerName(SignedFile(test.file)), test.expected) << test.file;
}

TEST_F(SignatureTest, FilesWithoutSignatureHaveNoSignerName)
{
    for (const fs::path& path : {CorvaneTest::UnsignedProgram(), folder.Path() / "missing.exe",
                                 Copy("text.exe", "MZ but not a program at all, only some words."),
                                 Copy("empty.exe", ""), folder.Path()})
    {
        EXPECT_FALSE(Verify(path)) << path;
        EXPECT_EQ(SignerNameFailure(path), "Couldn't CryptQueryObject") << path;
    }
}

TEST_F(SignatureTest, ChangesAfterSigningBreakTheSignature)
{
    const std::string original = CorvaneTest::ReadFile(SignedFile("tellmark"));
    const Layout layout(original);

    std::string code = original;
    code.at(layout.firstSectionData + 3) ^= 0x40;
    std::string header = original;
    header.at(layout.pe + 8) ^= 0x01; // the link time stamp
    std::string content = original;
    content.at(layout.certificateTable + 100) ^= 0x01; // the signed content: the image digest
    std::string signature = original;
    signature.at(original.size() - 40) ^= 0x01; // inside the signer's signature value
    const std::string appended = original + std::string(8, '\0');
    std::string pe32 = CorvaneTest::ReadFile(SignedFile("pe32"));
    pe32.at(Layout(pe32).firstSectionData) ^= 1;
    for (const std::string& bytes : {code, header, content, signature, appended, pe32})
        EXPECT_FALSE(Verify(Copy("altered.exe", bytes)));

    // The name is read without verifying, so it stays readable after a change to the code, but
    // not as the name of a verified signer.
    const fs::path alteredCode = Copy("altered-code.exe", code);
    EXPECT_EQ(SignerName(alteredCode), L"Tellmark Limited");
    EXPECT_EQ(VerifiedName(alteredCode), std::nullopt);

    // The checksum is not covered by the signature (it changes when the signature is added).
    std::string checksum = original;
    Write32(checksum, layout.checksum, 0x12345678);
    EXPECT_TRUE(Verify(Copy("checksum.exe", checksum)));
}

TEST_F(SignatureTest, CertificateTablesHoldNothingButTheSignature)
{
    // Windows' trust provider itself accepts some of these unless the machine opts in to its
    // strict check.
    for (const auto& [name, bytes] : CorvaneTest::TamperedCertificateTables(
             CorvaneTest::ReadFile(SignedFile("tellmark")), "CORVANE hidden payload"))
    {
        const fs::path path = Copy("tampered.exe", bytes);
        EXPECT_FALSE(Verify(path)) << name;
        EXPECT_EQ(SignerNameFailure(path), "Couldn't CryptQueryObject") << name;
    }
}

TEST_F(SignatureTest, SignersOutsideTheTrustedCodeSigningChainAreRejected)
{
    SKIP_WHERE_CERTIFICATES_ARE_NOT_CHECKED();
    for (const char* file : {"foreign", "server-only", "expired", "not-yet-valid",
                             "intermediate-missing", "intermediate-mail-only"})
        EXPECT_FALSE(Verify(SignedFile(file))) << file;

    // Trusting the other root instead turns the verdicts around.
    root.reset();
    {
        const TrustedTestRoot otherRoot("other-root");
        EXPECT_TRUE(Verify(SignedFile("foreign")));
        EXPECT_FALSE(Verify(SignedFile("tellmark")));
    }
    root = std::make_unique<TrustedTestRoot>();
    EXPECT_TRUE(Verify(SignedFile("tellmark")));
}

TEST_F(SignatureTest, TimeStampsOfTrustedAuthoritiesOutliveTheSignersCertificate)
{
    SKIP_WHERE_CERTIFICATES_ARE_NOT_CHECKED();
    // The signer's certificate expired a day before the files were made.
    const struct
    {
        const char* file;
        bool trusted;
    } cases[] = {
        {"stamped-while-valid", true},
        {"stamped-while-valid-sha1", true},
        {"counter-signed-while-valid", true},
        {"stamped-current", true}, // a current certificate stamped a minute before
        {"expired", false},
        {"stamped-after-expiry", false},
        {"stamped-before-validity", false},
        {"counter-signed-after-expiry", false},
        {"stamped-by-untrusted-authority", false},
        {"counter-signed-by-untrusted-authority", false},
        {"counter-signed-without-time-stamping-usage", false},
        {"stamp-moved-onto-own-signature", true},
        {"counter-signature-moved-onto-own-signature", true},
        {"stamp-of-another-signature", false},
        {"counter-signature-of-another-signature", false},
        // A broken stamp is not ignored in favour of the current time.
        {"foreign-stamp-on-current-certificate", false},
        {"two-stamps", false},
    };
    for (const auto& test : cases)
        EXPECT_EQ(Verify(SignedFile(test.file)), test.trusted) << test.file;
}

TEST_F(SignatureTest, MalformedFilesAreRejectedWithoutHarm)
{
    const std::string original = CorvaneTest::ReadFile(SignedFile("tellmark"));
    const Layout layout(original);
    std::vector<std::string> damaged;
    for (const std::size_t length :
         {std::size_t{1}, std::size_t{63}, std::size_t{64}, layout.pe + 2, layout.securityEntry + 4,
          layout.firstSectionData, layout.certificateTable, layout.certificateTable + 7,
          original.size() - 1})
        damaged.push_back(original.substr(0, length));
    const auto with32 = [&](std::size_t offset, std::uint32_t value)
    {
        std::string bytes = original;
        Write32(bytes, offset, value);
        damaged.push_back(bytes);
    };
    with32(0x3C, 0xFFFFFFF0); // headers beyond the end
    with32(0x3C, static_cast<std::uint32_t>(original.size() - 2));
    with32(layout.pe, 0x00004550 ^ 0x01);   // not "PE\0\0"
    with32(layout.optionalHeader, 0x0107);  // unknown optional header
    with32(layout.optionalHeader + 108, 4); // no security directory
    with32(layout.pe + 20, 0x00000000);     // optional header too short
    with32(layout.securityEntry, 0);        // table offset
    with32(layout.securityEntry, 0x10);     // table inside the headers
    with32(layout.securityEntry, 0xFFFFFFF8);
    with32(layout.securityEntry + 4, 0xFFFFFFFF); // table size
    with32(layout.securityEntry + 4, 4);
    with32(layout.certificateTable, 0); // WIN_CERTIFICATE length
    with32(layout.certificateTable, 0xFFFFFFFF);
    with32(layout.certificateTable + 4, 0x00010200); // an X.509 certificate entry
    with32(layout.certificateTable + 8, 0xFFFFFF30); // the PKCS #7 encoding
    // The signed data's own list of digest algorithms names one nobody knows.
    const std::string sha256 = "\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01";
    damaged.push_back(original);
    damaged.back().at(original.find(sha256, layout.certificateTable) + sha256.size() - 1) = 0x7F;
    for (const std::string& bytes : damaged)
    {
        const fs::path path = Copy("damaged.exe", bytes);
        EXPECT_FALSE(Verify(path));
        EXPECT_NE(SignerNameFailure(path), "another error");
    }

    // Random damage to the headers and the signature: any answer but a crash or a foreign error.
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> headerByte(0, layout.firstSection + 5 * 40);
    std::uniform_int_distribution<std::size_t> signatureByte(layout.certificateTable,
                                                             original.size() - 1);
    for (int round = 0; round < 300; ++round)
    {
        std::string bytes = original;
        for (int change = 0; change < 4; ++change)
        {
            auto& distribution = round % 2 ? headerByte : signatureByte;
            bytes[distribution(random)] = static_cast<char>(random());
        }
        const fs::path path = Copy("random.exe", bytes);
        Verify(path);
        EXPECT_NE(SignerNameFailure(path), "another error");
    }
}
