#include "Scanner/TrustedSignature.h"
#include "CodeSigning.h"
#include "ScanFixture.h"
#include "FileSystemHelper/Text.h"

#include <gtest/gtest.h>
#include <memory>

namespace fs = boost::filesystem;
using CorvaneCommandLineScanner::HasTrustedSignature;
using CorvaneTest::CertificateRequest;
using CorvaneTest::CodeSigningLab;

namespace
{
bool Trusted(const fs::path& path)
{
    return HasTrustedSignature(FileSystemHelper::WidePath(path));
}

class TrustedSignatureTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { lab = std::make_unique<CodeSigningLab>(); }
    static void TearDownTestSuite() { lab.reset(); }

    static inline std::unique_ptr<CodeSigningLab> lab;
};
} // namespace

TEST_F(TrustedSignatureTest, AcceptedPublishersAreTrustedInAnyLetterCase)
{
    for (const std::string name :
         {"Tellmark Limited", "TELLMARK limited", "corvane software", "Corvane SOFTWARE"})
        EXPECT_TRUE(Trusted(lab->SignedBy(name))) << name;

    // The display name of a certificate without a common name is its organization.
    CertificateRequest organization;
    organization.subject = {{"C", "DE"}, {"O", "Corvane Software"}};
    EXPECT_TRUE(Trusted(lab->Sign(lab->Issue(organization))));
}

TEST_F(TrustedSignatureTest, OnlyTheWholeNameOfAnAcceptedPublisherCounts)
{
    for (const std::string& name : std::vector<std::string>{
             "Other Publisher", "Tellmark Limited Holdings", "Tellmark", "Corvane",
             " corvane software", "corvane software.", std::string("Tellmark Limited\0", 17)})
        EXPECT_FALSE(Trusted(lab->SignedBy(name))) << name;

    // An accepted name elsewhere in the subject does not make the signer accepted.
    CertificateRequest other;
    other.subject = {{"O", "Tellmark Limited"}, {"CN", "Code Signing Team"}};
    EXPECT_FALSE(Trusted(lab->Sign(lab->Issue(other))));
}

TEST_F(TrustedSignatureTest, AnAcceptedNameNeedsASignatureThatVerifies)
{
    EXPECT_FALSE(Trusted(CorvaneTest::UnsignedProgram()));
    EXPECT_FALSE(Trusted(lab->Folder() / "missing.exe"));

    CertificateRequest request;
    request.subject = {{"CN", "Tellmark Limited"}};
    EXPECT_FALSE(Trusted(lab->Sign(lab->Issue(request, lab->CreateRoot("Tellmark Limited")))));

    const fs::path path = lab->SignedBy("Corvane Software");
    std::string bytes = CorvaneTest::ReadFile(path);
    bytes.at(0x400 + 16) ^= 0x20; // inside the code section
    CorvaneTest::WriteBinaryFile(path, bytes);
    EXPECT_FALSE(Trusted(path));
    CorvaneTest::WriteBinaryFile(path, bytes.substr(0, bytes.size() / 2));
    EXPECT_FALSE(Trusted(path));
}

TEST_F(TrustedSignatureTest, ScanLeavesOutDetectionsOfTrustedFiles)
{
    const fs::path trusted = lab->SignedBy("Corvane Software");
    const fs::path other = lab->SignedBy("Other Publisher");
    CorvaneTest::EngineInstallation installation(R"({"scans": [{"callbacks": [
        {"objectPath": ")" + trusted.string() + R"(", "scanStatus": 3, "action": 0},
        {"objectPath": ")" + other.string() + R"(", "scanStatus": 4, "action": 0}]}]})");
    // The child process inherits the test root that the lab made this process trust.
    const auto result = installation.Run({"--custom", lab->Folder().string(), "--delete"});

    EXPECT_NE(result.output.find("Object Path: " + trusted.string() + "."), std::string::npos);
    const auto callbacks = installation.Calls("Callback");
    ASSERT_EQ(callbacks.size(), 2u);
    EXPECT_EQ(callbacks[0].at("actionAfter").as_int64(), 0) << "the engine's action is kept";
    EXPECT_EQ(callbacks[1].at("actionAfter").as_int64(), 5);
    EXPECT_EQ(installation.LogLines(),
              std::vector<std::string>{"Debug: tellmark digital signature is valid. path=" +
                                       trusted.string()});

    pugi::xml_document document;
    CorvaneTest::LoadReport(document, CorvaneTest::ReportPathFromOutput(result.output));
    std::vector<std::string> detected;
    for (const pugi::xml_node node : document.child("Summary").child("InfectedObjects").children())
        detected.push_back(node.attribute("ObjectPath").value());
    EXPECT_EQ(detected, std::vector<std::string>{other.string()});
}
