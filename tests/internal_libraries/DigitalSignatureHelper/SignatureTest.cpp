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
#ifdef _WIN32
#include <windows.h>
#endif

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
    const std::wstring wide = FileSystemHelper::WidePath(path);
    const std::optional<std::wstring> name =
        Signature::VerifiedCertificateName(wide, Signature::SubjectSimpleDisplayName);
#ifdef _WIN32
    // Through a handle that keeps writers out, the answer is the same.
    const HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
    if (file != INVALID_HANDLE_VALUE)
    {
        EXPECT_EQ(
            Signature::VerifiedCertificateName(file, wide, Signature::SubjectSimpleDisplayName),
            name)
            << path;
        ::CloseHandle(file);
    }
#endif
    return name;
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
constexpr const char* certificatesUnchecked =
    "Wine checks neither the signer's chain nor validity, usage or time stamps";
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
        {"name-empty", L""},                            // no subject
        {"foreign", L"Tellmark Limited"},               // read without verifying
        // Nothing is cut at an embedded NUL, so such a name never passes for a shorter one.
        {"name-nul", std::wstring(L"Tellmark Limited\0.example", 25)},
    };
    for (const auto& test : cases)
        EXPECT_EQ(SignerName(SignedFile(test.file)), test.expected) << test.file;
}

TEST_F(SignatureTest, SimpleDisplayNameEndsWithTheFirstAttribute)
{
    if (RunningOnWine())
        GTEST_SKIP() << "Wine gives no name without a common name, unit, organization or e-mail";
    EXPECT_EQ(SignerName(SignedFile("name-locality")), L"Town"); // L, C
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
    const auto changed = [&](std::size_t offset, char bits)
    {
        std::string bytes = original;
        bytes.at(offset) ^= bits;
        return bytes;
    };
    const std::string code = changed(layout.firstSectionData + 3, 0x40);
    std::string pe32 = CorvaneTest::ReadFile(SignedFile("pe32"));
    pe32.at(Layout(pe32).firstSectionData) ^= 1;
    const std::pair<const char*, std::string> cases[] = {
        {"code", code},
        {"link time stamp", changed(layout.pe + 8, 0x01)},
        {"signer's signature value", changed(original.size() - 40, 0x01)},
        {"appended zeros", original + std::string(8, '\0')},
        {"code of a 32-bit program", pe32},
    };
    for (const auto& [name, bytes] : cases)
        EXPECT_FALSE(Verify(Copy("altered.exe", bytes))) << name;

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
#ifndef _WIN32
        // Nor is a name read from them. On Windows the platform reads the name, from the first
        // entry whatever lies beside it.
        EXPECT_EQ(SignerNameFailure(path), "Couldn't CryptQueryObject") << name;
#endif
    }
}

TEST_F(SignatureTest, SignersOutsideTheTrustedCodeSigningChainAreRejected)
{
    if (RunningOnWine())
        GTEST_SKIP() << certificatesUnchecked;
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
    if (RunningOnWine())
        GTEST_SKIP() << certificatesUnchecked;
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
    std::vector<std::pair<std::string, std::string>> damaged;
    for (const std::size_t length :
         {std::size_t{1}, std::size_t{63}, std::size_t{64}, layout.pe + 2, layout.securityEntry + 4,
          layout.firstSectionData, layout.certificateTable, layout.certificateTable + 7,
          original.size() - 1})
        damaged.emplace_back("cut at " + std::to_string(length), original.substr(0, length));
    const auto with32 = [&](const char* name, std::size_t offset, std::uint32_t value)
    {
        std::string bytes = original;
        Write32(bytes, offset, value);
        damaged.emplace_back(name, bytes);
    };
    with32("headers beyond the end", 0x3C, 0xFFFFFFF0);
    with32("headers at the end", 0x3C, static_cast<std::uint32_t>(original.size() - 2));
    with32("not PE", layout.pe, 0x00004550 ^ 0x01);
    with32("unknown optional header", layout.optionalHeader, 0x0107);
    with32("no security directory", layout.optionalHeader + 108, 4);
    with32("optional header too short", layout.pe + 20, 0x00000000);
    with32("table at 0", layout.securityEntry, 0);
    with32("table inside the headers", layout.securityEntry, 0x10);
    with32("table beyond the end", layout.securityEntry, 0xFFFFFFF8);
    with32("table size too large", layout.securityEntry + 4, 0xFFFFFFFF);
    with32("table size too small", layout.securityEntry + 4, 4);
    with32("entry length 0", layout.certificateTable, 0);
    with32("entry length too large", layout.certificateTable, 0xFFFFFFFF);
    with32("X.509 certificate entry", layout.certificateTable + 4, 0x00010200);
    with32("PKCS #7 encoding", layout.certificateTable + 8, 0xFFFFFF30);
    for (const auto& [name, bytes] : damaged)
    {
        const fs::path path = Copy("damaged.exe", bytes);
        EXPECT_FALSE(Verify(path)) << name;
        EXPECT_NE(SignerNameFailure(path), "another error") << name;
    }

    // Random damage to the headers and the signature: any answer but a crash or a foreign error.
    // Wine's trust provider aborts on some damage to the signature (it lacks decoders for what
    // the damage turns some attributes into), so there only the headers are damaged.
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
        if (RunningOnWine() && round % 2 == 0)
            continue;
        const fs::path path = Copy("random.exe", bytes);
        Verify(path);
        EXPECT_NE(SignerNameFailure(path), "another error") << round;
    }
}

TEST_F(SignatureTest, SignedDataIsCheckedAsAWhole)
{
    if (RunningOnWine())
        GTEST_SKIP() << "Wine checks neither the signed content against its digest nor the "
                        "signed data's digest algorithms";
    std::string content = CorvaneTest::ReadFile(SignedFile("tellmark"));
    std::string algorithms = content;
    const std::size_t table = Layout(content).certificateTable;
    // The signed content beside the image digest (the obsolete link of the PE image data).
    content.at(table + 100) ^= 0x01;
    // The signed data's own list of digest algorithms names one nobody knows.
    const std::string sha256 = "\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01";
    algorithms.at(algorithms.find(sha256, table) + sha256.size() - 1) = 0x7F;
    EXPECT_FALSE(Verify(Copy("content.exe", content)));
    EXPECT_FALSE(Verify(Copy("algorithms.exe", algorithms)));
}
