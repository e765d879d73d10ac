// An update killed at each step of its work leaves a complete set of definitions, and the next
// run finishes or undoes what the killed one started.
#include "UpdateServiceCom/UpdateServiceCom.h"
#include "UpdateServiceHarness.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>
#include <tuple>

using namespace UpdateLibraryTesting;
using namespace UpdateServiceCom;

namespace
{
// The steps of the test build's kill points, in the order the library reaches them.
enum Step
{
    FirstFileStaged = 1,
    FirstFilePlaced,
    NextSetComplete,
    SwitchDecided,
    FirstRenameDone,
    SecondRenameDone,
    SwitchMarkerGone,
};

const std::vector<std::string> CleanFolder = {"Plugins", "Plugins.lock", "UpdateServiceCom.dll",
                                              "UpdateServiceCom.pub"};
const Files Old = {{"kept.ndb", Signatures("kept")},
                   {"changed.ndb", Signatures("changed 1")},
                   {"dropped.ndb", Signatures("dropped")}};
const Files New = {{"kept.ndb", Signatures("kept")},
                   {"changed.ndb", Signatures("changed 2")},
                   {"added.ndb", Signatures("added")}};

// (step, whether folders may be swapped in one step)
class InterruptedInstallTest : public ::testing::TestWithParam<std::tuple<int, bool>>
{
protected:
    void SetUp() override
    {
        server.Publish(Old, "old", 1, keys.privateKey);
        Run(0, true);
        ASSERT_EQ(installation.Version(), "old");
        server.Publish(New, "new", 2, keys.privateKey);
    }

    // Runs Update and Install in a process of their own that dies at the step; returns true
    // when it was killed.
    bool Run(int step, bool exchange)
    {
        return LoadedService::RunUntilKilled(installation.Library(), server.BaseUrl(),
                                             installation.Folder(), step, exchange);
    }

    // The live set is the old one or the new one, whole.
    std::string LiveSet() const
    {
        const auto files = installation.Definitions();
        const auto version = installation.Version();
        if (files == Old && version == "old")
            return "old";
        if (files == New && version == "new")
            return "new";
        return boost::filesystem::exists(installation.Plugins()) ? "mixed" : "missing";
    }

    const KeyPair& keys = PublisherKeys();
    DefinitionsServer server;
    TestInstallation installation{keys.publicKey, true};
};

TEST_P(InterruptedInstallTest, NextRunRecoversACompleteSet)
{
    const auto [step, exchange] = GetParam();
    const bool killed = Run(step, exchange);
    // Until the switch the old set stays live; folders that cannot be swapped in one step are
    // moved one after the other, the only moment without a live set.
    std::string expected = "new";
    if (killed && step <= SwitchDecided)
        expected = "old";
    else if (killed && step == FirstRenameDone && !(exchange && Platform::SwapsFolders()))
        expected = "missing";
    EXPECT_EQ(LiveSet(), expected);

    // Recovery runs first in every call: once the switch was decided the new set goes live.
    {
        LoadedService service(installation.Library());
        service.Configure(server.BaseUrl(), installation.Folder());
        EXPECT_EQ(service.Service().Install(), NothingToInstall);
    }
    EXPECT_EQ(LiveSet(), step < SwitchDecided ? "old" : "new");
    EXPECT_EQ(installation.Entries(), CleanFolder);

    EXPECT_FALSE(Run(0, exchange));
    EXPECT_EQ(LiveSet(), "new");
    EXPECT_EQ(installation.Entries(), CleanFolder);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, InterruptedInstallTest,
                         ::testing::Combine(::testing::Range(1, 8), ::testing::Bool()));
} // namespace
