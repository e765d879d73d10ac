#include "EngineHarness.h"

#include <algorithm>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace EngineTest;
using testing::HasSubstr;

namespace
{
std::vector<fs::path> QuarantineFiles(const fs::path& folder, const std::string& extension)
{
    std::vector<fs::path> files;
    if (!fs::exists(folder))
        return files;
    for (const auto& entry : fs::directory_iterator(folder))
    {
        if (entry.path().extension() == extension)
            files.push_back(entry.path());
    }
    return files;
}

std::vector<std::int32_t> Statuses(const Recorder& recorder)
{
    std::vector<std::int32_t> statuses;
    for (const Report& report : recorder.reports)
        statuses.push_back(report.scanStatus);
    return statuses;
}
} // namespace

TEST(EngineAction, QuarantineKeepsTheContentAndTheOriginalPath)
{
    EngineInstallation installation;
    const fs::path file = installation.Data() / "eicar.com";
    WriteFile(file, TestVirus() + "\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exe);
    Recorder recorder;
    recorder.action = ThreatScanner::ActionQuarMove;
    ASSERT_EQ(installation.Scan(installation.Data(), recorder), 0);

    EXPECT_EQ(Statuses(recorder), (std::vector<std::int32_t>{ThreatScanner::StatusInfected,
                                                             ThreatScanner::StatusMoved}));
    EXPECT_EQ(recorder.reports[1].objectPath, Wide(file));
    EXPECT_FALSE(fs::exists(file));
    const auto stored = QuarantineFiles(installation.Quarantine(), ".bin");
    const auto records = QuarantineFiles(installation.Quarantine(), ".txt");
    ASSERT_EQ(stored.size(), 1u);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(stored[0].stem(), records[0].stem());
    EXPECT_EQ(ReadFile(stored[0]), TestVirus() + "\n");
    const std::string record = ReadFile(records[0]);
    EXPECT_THAT(record, HasSubstr("Original path: " + file.string() + "\n"));
    EXPECT_THAT(record, HasSubstr("Threat: Corvane.Test.EICAR\n"));
    EXPECT_THAT(record, HasSubstr("Original mode: 0700\n"));
    EXPECT_THAT(record, testing::ContainsRegex("Quarantined at: [0-9]{4}-[0-9]{2}-[0-9]{2}T"));

    // A later scan of the whole installation leaves the quarantine alone.
    Recorder again;
    again.action = ThreatScanner::ActionDelete;
    ASSERT_EQ(installation.Scan(installation.Folder(), again), 0);
    EXPECT_TRUE(again.reports.empty());
    EXPECT_TRUE(fs::exists(stored[0]));
}

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
