// The trusted-publisher check against the platform's trust provider, on programs signed at build
// time whose test root the tests place in the machine's certificate store.
#include "ScanFixture.h"
#include "Scanner/TrustedSignature.h"
#include "WindowsFixtures.h"

#include <boost/json.hpp>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>

using CorvaneCommandLineScanner::HasTrustedSignature;
using CorvaneTest::Windows::SignedFile;
using CorvaneTest::Windows::TrustedTestRoot;

namespace
{
class TrustedSignatureTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { root = std::make_unique<TrustedTestRoot>(); }
    static void TearDownTestSuite() { root.reset(); }

    static inline std::unique_ptr<TrustedTestRoot> root;
};

// A path for the console and the engine's script (the build folder's paths are plain ASCII).
std::string Narrow(const std::wstring& path)
{
    return std::string(path.begin(), path.end());
}
} // namespace

TEST_F(TrustedSignatureTest, AcceptedPublishersAreTrustedInAnyLetterCase)
{
    // Tellmark Limited, TELLMARK limited, Corvane SOFTWARE, and an organization Corvane Software
    // without a common name.
    for (const char* name : {"tellmark", "tellmark-mixed", "corvane-upper", "organization"})
        EXPECT_TRUE(HasTrustedSignature(SignedFile(name))) << name;
}

TEST_F(TrustedSignatureTest, OnlyTheWholeNameOfAnAcceptedPublisherCounts)
{
    // Other Publisher, Tellmark Limited Holdings, Tellmark, and Code Signing Team of the
    // organization Tellmark Limited.
    for (const char* name : {"other-publisher", "tellmark-holdings", "tellmark-word", "team"})
        EXPECT_FALSE(HasTrustedSignature(SignedFile(name))) << name;
}

TEST_F(TrustedSignatureTest, AnAcceptedNameNeedsASignatureThatVerifies)
{
    CorvaneTest::TemporaryFolder folder;
    EXPECT_FALSE(HasTrustedSignature(CorvaneTest::Windows::UnsignedProgram()));
    EXPECT_FALSE(HasTrustedSignature((folder.Path() / "missing.exe").wstring()));

    std::ifstream file(SignedFile("tellmark").c_str(), std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(file), {}};
    bytes.at(0x400 + 16) ^= 0x20; // inside the code section
    const std::wstring altered = (folder.Path() / "altered.exe").wstring();
    std::ofstream(altered.c_str(), std::ios::binary) << bytes;
    EXPECT_FALSE(HasTrustedSignature(altered));
    std::ofstream(altered.c_str(), std::ios::binary | std::ios::trunc)
        << bytes.substr(0, bytes.size() / 2);
    EXPECT_FALSE(HasTrustedSignature(altered));
}

TEST_F(TrustedSignatureTest, AnAcceptedNameFromAnUntrustedRootIsNotTrusted)
{
    // Wine's trust provider does not check the signer's chain, so there a signer from an
    // unknown root passes.
    if (CorvaneTest::Windows::RunningOnWine())
        GTEST_SKIP() << "Wine does not check the signer's chain";
    EXPECT_FALSE(HasTrustedSignature(SignedFile("foreign")));
}

TEST_F(TrustedSignatureTest, ScanLeavesOutDetectionsOfTrustedFiles)
{
    const std::string trusted = Narrow(SignedFile("corvane-upper"));
    const std::string other = Narrow(SignedFile("other-publisher"));
    CorvaneTest::EngineInstallation installation(
        R"({"scans": [{"callbacks": [{"objectPath": )" +
        boost::json::serialize(boost::json::string(trusted)) +
        R"(, "scanStatus": 3, "action": 0}, {"objectPath": )" +
        boost::json::serialize(boost::json::string(other)) +
        R"(, "scanStatus": 4, "action": 0}]}]})");
    const auto result = installation.Run(
        {"--custom", Narrow(CorvaneTest::Windows::HostPath(CORVANE_SIGNED_FILES_FOLDER)),
         "--delete"});

    EXPECT_NE(result.output.find("Object Path: " + trusted + "."), std::string::npos);
    const auto callbacks = installation.Calls("Callback");
    ASSERT_EQ(callbacks.size(), 2u);
    EXPECT_EQ(callbacks[0].at("actionAfter").as_int64(), 0) << "the engine's action is kept";
    EXPECT_EQ(callbacks[1].at("actionAfter").as_int64(), 5);
    EXPECT_EQ(
        installation.LogLines(),
        std::vector<std::string>{"Debug: tellmark digital signature is valid. path=" + trusted});

    pugi::xml_document document;
    CorvaneTest::LoadReport(document, CorvaneTest::ReportPathFromOutput(result.output));
    std::vector<std::string> detected;
    for (const pugi::xml_node node : document.child("Summary").child("InfectedObjects").children())
        detected.push_back(node.attribute("ObjectPath").value());
    EXPECT_EQ(detected, std::vector<std::string>{other});
}
