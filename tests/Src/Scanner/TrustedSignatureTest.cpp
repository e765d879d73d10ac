// The trusted-publisher check on programs signed at build time (see SignedFiles.h), against the
// platform's trust provider with the test root trusted.
#include "Scanner/TrustedSignature.h"
#include "FileSystemHelper/Text.h"
#include "ScanFixture.h"
#include "SignedFiles.h"

#include <boost/filesystem/fstream.hpp>
#include <gtest/gtest.h>
#include <memory>

namespace fs = boost::filesystem;
using CorvaneCommandLineScanner::HasTrustedSignature;
using CorvaneTest::SignedFile;
using CorvaneTest::TrustedTestRoot;

namespace
{
bool Trusted(const fs::path& path)
{
    return HasTrustedSignature(FileSystemHelper::WidePath(path));
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

TEST_F(TrustedSignatureTest, ScanLeavesOutDetectionsOfTrustedFiles)
{
    const fs::path trusted = SignedFile("corvane-upper");
    const fs::path other = SignedFile("other-publisher");
    CorvaneTest::EngineInstallation installation(
        R"({"scans": [{"callbacks": [{"objectPath": )" + JsonString(trusted) +
        R"(, "scanStatus": 3, "action": 0}, {"objectPath": )" + JsonString(other) +
        R"(, "scanStatus": 4, "action": 0}]}]})");
    // The program inherits the trust in the test root.
    const auto result =
        installation.Run({"--custom", CorvaneTest::SignedFilesFolder().string(), "--delete"});

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
