#include "DigitalSignatureHelper/Signature.h"
#include "CodeSigning.h"
#include "ExceptionHelper/Exception.h"
#include "FileSystemHelper/Text.h"
#include "PeLayout.h"
#include "SignerName.h"

#include <boost/filesystem/operations.hpp>
#include <cstdint>
#include <ctime>
#include <gtest/gtest.h>
#include <memory>
#include <random>

namespace fs = boost::filesystem;
using CorvaneTest::CertificateRequest;
using CorvaneTest::CodeSigningLab;
using CorvaneTest::Credentials;
using CorvaneTest::Read16;
using CorvaneTest::Read32;
using CorvaneTest::SignerName;
using CorvaneTest::SignerNameFailure;
using CorvaneTest::TimeStamp;
using CorvaneTest::Write16;
using CorvaneTest::Write32;
using DigitalSignatureHelper::Signature;
using Layout = CorvaneTest::PeLayout;

namespace
{
bool Verify(const fs::path& path)
{
    return Signature::Verify(FileSystemHelper::WidePath(path));
}

// The 64-bit test program rewritten with a 32-bit (PE32) optional header: the same fields, the
// narrower ones shortened, and the section table moved up behind it.
std::string AsPe32(const std::string& image)
{
    const Layout layout(image);
    const std::size_t plus = layout.optionalHeader;
    std::string header = image.substr(plus, 24); // magic to entry point
    Write16(header, 0, 0x10B);
    header += image.substr(plus + 24, 4) + image.substr(plus + 24, 4); // base of data, image base
    header += image.substr(plus + 32, 40);                             // alignment to dll flags
    for (std::size_t field = 0; field < 4; ++field)                    // stack and heap sizes
        header += image.substr(plus + 72 + 8 * field, 4);
    header += image.substr(plus + 104, 8 + 16 * 8); // loader flags, count, directories
    const std::uint16_t sections = Read16(image, layout.pe + 6);
    header += image.substr(layout.firstSection, 40u * sections);

    std::string result = image;
    result.replace(plus, header.size(), header);
    std::fill(result.begin() + static_cast<std::ptrdiff_t>(plus + header.size()),
              result.begin() + static_cast<std::ptrdiff_t>(layout.firstSection + 40u * sections),
              0);
    Write16(result, layout.pe + 20, 224);
    return result;
}

class SignatureTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { lab = std::make_unique<CodeSigningLab>(); }
    static void TearDownTestSuite() { lab.reset(); }

    static fs::path Copy(const std::string& name, const std::string& bytes)
    {
        const fs::path path = lab->Folder() / name;
        CorvaneTest::WriteBinaryFile(path, bytes);
        return path;
    }

    static inline std::unique_ptr<CodeSigningLab> lab;
};
} // namespace

TEST_F(SignatureTest, SignedFilesVerifyAndNameTheirSigner)
{
    CertificateRequest request;
    request.subject = {{"C", "DE"}, {"O", "Tellmark"}, {"CN", "Tellmark Limited"}};
    const Credentials publisher = lab->Issue(request);
    for (const std::string digest : {"sha256", "sha1"})
    {
        const fs::path signedFile = lab->Sign(publisher, digest);
        EXPECT_TRUE(Verify(signedFile)) << digest;
        EXPECT_EQ(SignerName(signedFile), L"Tellmark Limited") << digest;
    }

    const fs::path international = lab->SignedBy("Corvan\xC3\xA9 S\xC3\xB8\x66tware \xE2\x9C\x93");
    EXPECT_TRUE(Verify(international));
    EXPECT_EQ(SignerName(international), L"Corvan\u00E9 S\u00F8ftware \u2713");
}

TEST_F(SignatureTest, ThirtyTwoBitProgramsAreCheckedToo)
{
    const fs::path pe32 =
        Copy("pe32.exe", AsPe32(CorvaneTest::ReadFile(CorvaneTest::UnsignedProgram())));
    CertificateRequest request;
    request.subject = {{"CN", "Corvane Software"}};
    const fs::path signedFile = lab->Sign(lab->Issue(request), "sha256", {}, pe32);
    EXPECT_TRUE(Verify(signedFile));
    EXPECT_EQ(SignerName(signedFile), L"Corvane Software");

    std::string altered = CorvaneTest::ReadFile(signedFile);
    altered.at(Layout(altered).firstSectionData) ^= 1;
    EXPECT_FALSE(Verify(Copy("pe32-altered.exe", altered)));
}

TEST_F(SignatureTest, FilesWithoutSignatureHaveNoSignerName)
{
    const fs::path missing = lab->Folder() / "missing.exe";
    const fs::path text = Copy("text.exe", "MZ but not a program at all, only some words.");
    const fs::path empty = Copy("empty.exe", "");
    for (const fs::path& path :
         {CorvaneTest::UnsignedProgram(), missing, text, empty, lab->Folder()})
    {
        EXPECT_FALSE(Verify(path)) << path;
        EXPECT_EQ(SignerNameFailure(path), "Couldn't CryptQueryObject") << path;
    }
}

TEST_F(SignatureTest, ChangesAfterSigningBreakTheSignature)
{
    const std::string original = CorvaneTest::ReadFile(lab->SignedBy("Tellmark Limited"));
    const Layout layout(original);

    std::string code = original;
    code.at(layout.firstSectionData + 3) ^= 0x40;
    std::string header = original;
    header.at(layout.pe + 8) ^= 0x01; // the link time stamp
    std::string certificate = original;
    certificate.at(layout.certificateTable + 100) ^= 0x01;
    const std::string appended = original + std::string(8, '\0');
    for (const std::string& bytes : {code, header, certificate, appended})
        EXPECT_FALSE(Verify(Copy("altered.exe", bytes)));
    // The name is read without verifying, so it stays readable after a change to the code, but
    // not as the name of a verified signer.
    const fs::path alteredCode = Copy("altered-code.exe", code);
    EXPECT_EQ(SignerName(alteredCode), L"Tellmark Limited");
    EXPECT_EQ(Signature::VerifiedCertificateName(FileSystemHelper::WidePath(alteredCode),
                                                 Signature::SubjectSimpleDisplayName),
              std::nullopt);
    EXPECT_EQ(
        Signature::VerifiedCertificateName(FileSystemHelper::WidePath(Copy("o.exe", original)),
                                           Signature::SubjectSimpleDisplayName),
        L"Tellmark Limited");

    // The checksum is not covered by the signature (it changes when the signature is added).
    std::string checksum = original;
    Write32(checksum, layout.checksum, 0x12345678);
    EXPECT_TRUE(Verify(Copy("checksum.exe", checksum)));
}

TEST_F(SignatureTest, CertificateTablesHoldNothingButTheSignature)
{
    const std::string original = CorvaneTest::ReadFile(lab->SignedBy("Tellmark Limited"));
    for (const auto& [name, bytes] :
         CorvaneTest::TamperedCertificateTables(original, "CORVANE hidden payload"))
    {
        const fs::path path = Copy("tampered.exe", bytes);
        EXPECT_FALSE(Verify(path)) << name;
        EXPECT_EQ(SignerNameFailure(path), "Couldn't CryptQueryObject") << name;
    }
}

TEST_F(SignatureTest, TimeStampsOfTrustedAuthoritiesOutliveTheSignersCertificate)
{
    const std::time_t now = std::time(nullptr);
    const std::time_t yesterday = now - 36 * 3600;
    CertificateRequest request;
    request.subject = {{"CN", "Tellmark Limited"}};
    const Credentials current = lab->Issue(request);
    request.validFromDays = -2;
    request.validUntilDays = -1;
    const Credentials expired = lab->Issue(request);

    const Credentials authority = lab->IssueTimeStampingAuthority(lab->Root());
    const Credentials foreignAuthority =
        lab->IssueTimeStampingAuthority(lab->CreateRoot("Other Test Root"));
    CertificateRequest codeSigner;
    codeSigner.subject = {{"CN", "Corvane Test Time Stamps"}};
    codeSigner.validFromDays = -30;
    const Credentials notAnAuthority = lab->Issue(codeSigner);

    const auto stamped =
        [&](const Credentials& signer, const TimeStamp& stamp, const std::string& digest = "sha256")
    { return lab->Sign(signer, digest, {}, CorvaneTest::UnsignedProgram(), stamp); };
    const fs::path unstamped = lab->Sign(expired);
    const fs::path valid = stamped(expired, {authority, yesterday});
    const fs::path counterSigned = lab->CounterSign(unstamped, {authority, yesterday});

    const struct
    {
        const char* name;
        fs::path file;
        bool trusted;
    } cases[] = {
        {"stamped while valid", valid, true},
        {"stamped while valid, SHA-1", stamped(expired, {authority, yesterday}, "sha1"), true},
        {"counter-signed while valid", counterSigned, true},
        {"stamped current certificate", stamped(current, {authority, now - 60}), true},
        {"unstamped", unstamped, false},
        {"stamped after expiry", stamped(expired, {authority, now - 60}), false},
        {"stamped before validity", stamped(expired, {authority, now - 3 * 86400}), false},
        {"counter-signed after expiry", lab->CounterSign(unstamped, {authority, now - 60}), false},
        {"untrusted authority", stamped(expired, {foreignAuthority, yesterday}), false},
        {"counter-signed by an untrusted authority",
         lab->CounterSign(unstamped, {foreignAuthority, yesterday}), false},
        {"counter-signed without time-stamping usage",
         lab->CounterSign(unstamped, {notAnAuthority, yesterday}), false},
        {"stamp moved onto its own signature", lab->MoveTimeStamps(valid, valid), true},
        {"counter-signature moved onto its own signature",
         lab->MoveTimeStamps(counterSigned, counterSigned), true},
        {"stamp of another signature", lab->MoveTimeStamps(valid, lab->Sign(expired)), false},
        {"counter-signature of another signature",
         lab->MoveTimeStamps(counterSigned, lab->Sign(expired)), false},
        // A broken stamp is not ignored in favour of the current time.
        {"foreign stamp on a current certificate", lab->MoveTimeStamps(valid, lab->Sign(current)),
         false},
        {"two stamps", lab->CounterSign(valid, {authority, yesterday}), false},
    };
    for (const auto& test : cases)
        EXPECT_EQ(Verify(test.file), test.trusted) << test.name;
}

TEST_F(SignatureTest, SignersOutsideTheTrustedCodeSigningChainAreRejected)
{
    const Credentials otherRoot = lab->CreateRoot("Other Test Root");
    CertificateRequest request;
    request.subject = {{"CN", "Tellmark Limited"}};
    const fs::path foreign = lab->Sign(lab->Issue(request, otherRoot));
    EXPECT_FALSE(Verify(foreign));
    EXPECT_EQ(SignerName(foreign), L"Tellmark Limited");

    CertificateRequest serverOnly = request;
    serverOnly.extendedKeyUsage = "serverAuth";
    CertificateRequest expired = request;
    expired.validFromDays = -30;
    expired.validUntilDays = -1;
    CertificateRequest notYetValid = request;
    notYetValid.validFromDays = 2;
    for (const CertificateRequest& unusable : {serverOnly, expired, notYetValid})
        EXPECT_FALSE(Verify(lab->Sign(lab->Issue(unusable))));

    // A certificate without extended key usage may sign code.
    CertificateRequest anyUsage = request;
    anyUsage.extendedKeyUsage.clear();
    EXPECT_TRUE(Verify(lab->Sign(lab->Issue(anyUsage))));

    // Trusting the other root turns the verdicts around.
    CodeSigningLab::Trust(otherRoot);
    EXPECT_TRUE(Verify(foreign));
    EXPECT_FALSE(Verify(lab->SignedBy("Tellmark Limited")));
    CodeSigningLab::Trust(lab->Root());
}

TEST_F(SignatureTest, IntermediateAuthoritiesComeFromTheSignature)
{
    CertificateRequest authority;
    authority.subject = {{"CN", "Corvane Test Intermediate"}};
    authority.extendedKeyUsage.clear();
    authority.certificateAuthority = true;
    const Credentials intermediate = lab->Issue(authority);
    CertificateRequest request;
    request.subject = {{"CN", "Corvane Software"}};
    const Credentials publisher = lab->Issue(request, intermediate);

    const fs::path withChain = lab->Sign(publisher, "sha256", {intermediate});
    EXPECT_TRUE(Verify(withChain));
    EXPECT_EQ(SignerName(withChain), L"Corvane Software");
    EXPECT_FALSE(Verify(lab->Sign(publisher)));

    // An authority limited to other usages cannot vouch for code.
    authority.extendedKeyUsage = "emailProtection";
    const Credentials mailAuthority = lab->Issue(authority);
    EXPECT_FALSE(Verify(lab->Sign(lab->Issue(request, mailAuthority), "sha256", {mailAuthority})));
}

TEST_F(SignatureTest, SimpleDisplayNameFallsBackThroughTheSubject)
{
    struct Case
    {
        std::vector<std::pair<std::string, std::string>> subject;
        std::string alternativeNames;
        std::wstring expected;
    };
    const std::vector<Case> cases = {
        {{{"O", "Org"}, {"OU", "Unit"}, {"CN", "Common"}}, "", L"Common"},
        {{{"C", "DE"}, {"O", "Org"}, {"OU", "Unit"}}, "", L"Unit"},
        {{{"C", "DE"}, {"O", "Corvane Software"}, {"O", "Second"}}, "", L"Corvane Software"},
        {{{"C", "DE"}, {"emailAddress", "sign@example.org"}},
         "email:other@example.org",
         L"sign@example.org"},
        {{{"C", "DE"}, {"L", "Town"}}, "DNS:example.org,email:alt@example.org", L"alt@example.org"},
        {{{"L", "Town"}, {"C", "DE"}}, "", L"Town"},
        {{}, "", L""},
        // Nothing is cut at an embedded NUL, so such a name never passes for a shorter one.
        {{{"CN", std::string("Tellmark Limited\0.example", 25)}},
         "",
         std::wstring(L"Tellmark Limited\0.example", 25)},
    };
    for (const Case& test : cases)
    {
        CertificateRequest request;
        request.subject = test.subject;
        request.alternativeNames = test.alternativeNames;
        const fs::path signedFile = lab->Sign(lab->Issue(request));
        EXPECT_EQ(SignerName(signedFile), test.expected);
    }
}

TEST_F(SignatureTest, MalformedFilesAreRejectedWithoutHarm)
{
    const std::string original = CorvaneTest::ReadFile(lab->SignedBy("Tellmark Limited"));
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
