#include "EngineHarness.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

using namespace EngineTest;

TEST(EngineAction, DeleteRemovesAndNoneLeavesTheFile)
{
    EngineInstallation installation;
    const fs::path file = installation.Data() / "eicar.com";
    WriteFile(file, TestVirus());
    Recorder none;
    ASSERT_EQ(installation.Scan(file, none), 0);
    EXPECT_EQ(Statuses(none), (std::vector<std::int32_t>{ThreatScanner::StatusInfected}));
    EXPECT_TRUE(fs::exists(file));

    Recorder disinfect;
    disinfect.action = ThreatScanner::ActionDisinfect;
    ASSERT_EQ(installation.Scan(file, disinfect), 0);
    EXPECT_EQ(Statuses(disinfect), (std::vector<std::int32_t>{ThreatScanner::StatusInfected}));
    EXPECT_EQ(ReadFile(file), TestVirus());

    Recorder remove;
    remove.action = ThreatScanner::ActionDelete;
    ASSERT_EQ(installation.Scan(file, remove), 0);
    EXPECT_EQ(Statuses(remove), (std::vector<std::int32_t>{ThreatScanner::StatusInfected,
                                                           ThreatScanner::StatusDeleted}));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(QuarantineFiles(installation.Quarantine(), ".bin").empty());
}

TEST(EngineAction, ArchiveMembersAreLeftAlone)
{
    EngineInstallation installation;
    const fs::path archive = installation.Data() / "packed.zip";
    const std::string content = Zip({{"eicar.com", TestVirus()}, {"other.txt", "keep me"}});
    WriteFile(archive, content);
    for (const int action : {ThreatScanner::ActionQuarMove, ThreatScanner::ActionDelete})
    {
        Recorder recorder;
        recorder.action = action;
        ASSERT_EQ(installation.Scan(installation.Data(), recorder), 0);
        EXPECT_EQ(Statuses(recorder), (std::vector<std::int32_t>{ThreatScanner::StatusInfected}));
        EXPECT_EQ(ReadFile(archive), content);
    }
    EXPECT_TRUE(QuarantineFiles(installation.Quarantine(), ".bin").empty());
}

TEST(EngineAction, AFailedMoveLeavesTheOriginal)
{
    EngineInstallation installation;
    const fs::path file = installation.Data() / "eicar.com";
    WriteFile(file, TestVirus());
    // The quarantine folder cannot be created: a file stands where it should be.
    fs::remove_all(installation.Quarantine());
    WriteFile(installation.Quarantine(), "not a folder");
    Recorder recorder;
    recorder.action = ThreatScanner::ActionQuarMove;
    EXPECT_EQ(installation.Scan(installation.Data(), recorder), ThreatScanner::FileCreate);
    // The failure follows the detection, naming the same file.
    EXPECT_EQ(Statuses(recorder), (std::vector<std::int32_t>{ThreatScanner::StatusInfected,
                                                             ThreatScanner::StatusScanFailed}));
    EXPECT_EQ(recorder.reports[1].objectPath, Wide(file));
    EXPECT_EQ(recorder.reports[1].scanStatusFlags, ThreatScanner::FileCreate);
    EXPECT_EQ(ReadFile(file), TestVirus());
}

TEST(EngineAction, AFileReplacedAfterTheScanIsNotTouched)
{
    EngineInstallation installation;
    const fs::path file = installation.Data() / "eicar.com";
    const fs::path other = installation.Data() / "precious.txt";
    WriteFile(file, TestVirus());
    WriteFile(other, "precious");
    Recorder recorder;
    recorder.action = ThreatScanner::ActionDelete;
    // The callback swaps the detected file for another one before the action runs.
    struct Swapper
    {
        Recorder* recorder;
        fs::path file;
        fs::path other;
    } swapper{&recorder, file, other};
    CThreatScannerStruct* instance = installation.Instance(recorder);
    Engine().SetScanCallback2(
        instance,
        [](_ScanCbkParams* params, int* action, void* context)
        {
            auto* self = static_cast<Swapper*>(context);
            if (params->scanStatus == ThreatScanner::StatusInfected)
                fs::rename(self->other, self->file);
            Recorder::Callback(params, action, self->recorder);
        },
        &swapper);
    EXPECT_EQ(Engine().ScanPath(instance, 0, Wide(file).c_str(), 1), ThreatScanner::FileRemove);
    EXPECT_EQ(Statuses(recorder), (std::vector<std::int32_t>{ThreatScanner::StatusInfected,
                                                             ThreatScanner::StatusScanFailed}));
    EXPECT_EQ(ReadFile(file), "precious");
}
