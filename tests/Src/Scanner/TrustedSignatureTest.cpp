// The trusted-publisher check on programs signed at build time (see SignedFiles.h), against the
// platform's trust provider with the test root trusted.
#include "Scanner/TrustedSignature.h"
#include "DigitalSignatureHelper/Signature.h"
#include "FileSystemHelper/Text.h"
#include "Installation.h"
#include "ScanFixture.h"
#include "SignedFiles.h"

#include <boost/filesystem/fstream.hpp>
#include <gtest/gtest.h>
#include <memory>

namespace fs = boost::filesystem;
using CorvaneTest::SignedFile;
using CorvaneTest::TrustedTestRoot;

namespace
{
// What the engine passes for a scanned file (its verified signer), judged by the program.
bool Trusted(const fs::path& path)
{
    using DigitalSignatureHelper::Signature;
    const auto signer = Signature::VerifiedCertificateName(FileSystemHelper::WidePath(path),
                                                           Signature::SubjectSimpleDisplayName);
    return signer && CorvaneCommandLineScanner::IsTrustedPublisher(*signer);
}

class TrustedSignatureTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { root = std::make_unique<TrustedTestRoot>(); }
    static void TearDownTestSuite() { root.reset(); }

    static inline std::unique_ptr<TrustedTestRoot> root;
};

std::string JsonString(const fs::path& path)
{
    return boost::json::serialize(boost::json::string(path.string()));
}
} // namespace

TEST_F(TrustedSignatureTest, AcceptedPublishersAreTrustedInAnyLetterCase)
{
    // Tellmark Limited, TELLMARK limited, corvane software, Corvane SOFTWARE, and the
    // organization Corvane Software without a common name (the display name is then the
    // organization).
    for (const char* name :
         {"tellmark", "tellmark-mixed", "corvane-lower", "corvane-upper", "organization"})
        EXPECT_TRUE(Trusted(SignedFile(name))) << name;
}

TEST_F(TrustedSignatureTest, OnlyTheWholeNameOfAnAcceptedPublisherCounts)
{
    // Other Publisher, Tellmark Limited Holdings, Tellmark, Corvane, " corvane software",
    // "corvane software.", "Tellmark Limited\0", and Code Signing Team of the organization
    // Tellmark Limited (an accepted name elsewhere in the subject does not count).
    for (const char* name :
         {"other-publisher", "tellmark-holdings", "tellmark-word", "corvane-word",
          "corvane-leading-space", "corvane-trailing-dot", "tellmark-nul", "team"})
        EXPECT_FALSE(Trusted(SignedFile(name))) << name;
}

// The case of ASCII letters is ignored and nothing else: no locale (a Turkish one included) and
// no platform makes another character stand for a letter of an accepted name.
TEST(TrustedPublisher, OnlyTheCaseOfAsciiLettersIsIgnored)
{
    const struct
    {
        std::wstring signer;
        bool trusted;
    } cases[] = {
        {L"Tellmark Limited", true},
        {L"TELLMARK LIMITED", true},
        {L"cORVANE sOFTWARE", true},
        {L"TELLMARK L\u0130M\u0130TED", false}, // dotted capital I
        {L"tellmark l\u0131m\u0131ted", false}, // dotless small i
        {L"corvane \u017foftware", false},      // long s
        {L"\uff34ellmark Limited", false},      // full-width T
        {L"Tellmark Limite", false},
        {std::wstring(L"Tellmark Limited\0", 17), false},
        {L"", false},
    };
    for (const auto& test : cases)
        EXPECT_EQ(CorvaneCommandLineScanner::IsTrustedPublisher(test.signer), test.trusted)
            << FileSystemHelper::ToNarrow(test.signer, FileSystemHelper::CodePageUtf8);
}

TEST_F(TrustedSignatureTest, AnAcceptedNameNeedsASignatureThatVerifies)
{
    CorvaneTest::TemporaryFolder folder;
    EXPECT_FALSE(Trusted(CorvaneTest::UnsignedProgram()));
    EXPECT_FALSE(Trusted(folder.Path() / "missing.exe"));

    std::string bytes = CorvaneTest::ReadFile(SignedFile("corvane"));
    bytes.at(0x400 + 16) ^= 0x20; // inside the code section
    const fs::path altered = folder.Path() / "altered.exe";
    fs::ofstream(altered, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_FALSE(Trusted(altered));
    fs::ofstream(altered, std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() / 2);
    EXPECT_FALSE(Trusted(altered));
}

TEST_F(TrustedSignatureTest, AnAcceptedNameFromAnUntrustedRootIsNotTrusted)
{
    if (CorvaneTest::RunningOnWine())
        GTEST_SKIP() << "Wine does not check the signer's chain";
    // Tellmark Limited from another root, and from a root that is itself named Tellmark Limited.
    EXPECT_FALSE(Trusted(SignedFile("foreign")));
    EXPECT_FALSE(Trusted(SignedFile("tellmark-self-rooted")));
}

// The program trusts only the signer the engine verified on what it scanned: a path that names a
// signed file, a record of an engine that passes no signer, or another publisher count for
// nothing.
TEST(TrustedSignature, ScanLeavesOutOnlyDetectionsWhoseScannedFileTheEngineVerified)
{
    const std::string signedPath = JsonString(SignedFile("corvane-upper"));
    CorvaneTest::EngineInstallation installation(
        R"({"scans": [{"callbacks": [)"
        R"({"objectPath": "/trusted", "scanStatus": 3, "action": 0, "verifiedSigner": "CORVANE software"},)"
        R"({"objectPath": "/other", "scanStatus": 4, "action": 0, "verifiedSigner": "Other Publisher"},)"
        R"({"objectPath": "/older", "scanStatus": 3, "action": 0, "verifiedSigner": "Tellmark Limited", "size": 104},)"
        R"({"objectPath": )" +
        signedPath + R"(, "scanStatus": 3, "action": 0}]}]})");
    const auto result = installation.Run({"--custom", "/", "--delete"});

    EXPECT_NE(result.output.find("Object Path: /trusted."), std::string::npos);
    const auto callbacks = installation.Calls("Callback");
    ASSERT_EQ(callbacks.size(), 4u);
    EXPECT_EQ(callbacks[0].at("actionAfter").as_int64(), 0) << "the engine's action is kept";
    for (std::size_t i = 1; i < 4; ++i)
        EXPECT_EQ(callbacks[i].at("actionAfter").as_int64(), 5) << i;
    EXPECT_EQ(
        installation.LogLines(),
        std::vector<std::string>{"Debug: tellmark digital signature is valid. path=/trusted"});

    pugi::xml_document document;
    CorvaneTest::LoadReport(document, CorvaneTest::ReportPathFromOutput(result.output));
    std::vector<std::string> detected;
    for (const pugi::xml_node node : document.child("Summary").child("InfectedObjects").children())
        detected.push_back(node.attribute("ObjectPath").value());
    EXPECT_EQ(detected,
              (std::vector<std::string>{"/other", "/older", SignedFile("corvane-upper").string()}));
}
