#include "EngineHarness.h"

#include <boost/filesystem/operations.hpp>
#include <cstring>
#include <gtest/gtest.h>
#include <set>

using namespace EngineTest;

namespace
{
// The tree most tests scan: a clean file, the test virus plain, in a zip and in a zip in a zip.
void WriteInfectedTree(const fs::path& data)
{
    WriteFile(data / "clean.txt", "nothing to see");
    WriteFile(data / "a" / "eicar.com", TestVirus());
    WriteFile(data / "b" / "packed.zip",
              Zip({{"readme.txt", "clean"}, {"docs/eicar.com", TestVirus()}}));
    WriteFile(data / "c" / "nested.zip", Zip({{"inner.zip", Zip({{"deep.com", TestVirus()}})}}));
}
} // namespace

TEST(EngineScan, ReportsDetectionsWithTheirContainers)
{
    EngineInstallation installation;
    WriteInfectedTree(installation.Data());
    Recorder recorder;
    ASSERT_EQ(installation.Scan(installation.Data(), recorder), 0);
    ASSERT_EQ(recorder.reports.size(), 3u);

    const Report& plain = recorder.reports[0];
    EXPECT_EQ(plain.objectPath, Wide(installation.Data() / "a" / "eicar.com"));
    EXPECT_EQ(plain.parentContainers, L"");
    EXPECT_EQ(plain.innerObject, L"");
    EXPECT_EQ(plain.depthLevel, 0u);
    EXPECT_EQ(plain.archiveFlags, 0);
    EXPECT_EQ(plain.objectType, ThreatScanner::ObjectFile);
    EXPECT_EQ(plain.scanStatus, ThreatScanner::StatusInfected);
    EXPECT_EQ(plain.threatType, ThreatScanner::ThreatVirus);
    EXPECT_EQ(plain.threatName, L"Corvane.Test.EICAR");

    const Report& member = recorder.reports[1];
    const std::wstring packed = Wide(installation.Data() / "b" / "packed.zip");
    EXPECT_EQ(member.objectPath, packed);
    EXPECT_EQ(member.parentContainers, packed);
    EXPECT_EQ(member.innerObject, L"eicar.com");
    EXPECT_EQ(member.depthLevel, 1u);
    EXPECT_NE(member.objectFlags & ThreatScanner::FlagArchive, 0u);
    EXPECT_EQ(member.scanStatus, ThreatScanner::StatusInfected);

    const Report& nested = recorder.reports[2];
    const std::wstring outer = Wide(installation.Data() / "c" / "nested.zip");
    EXPECT_EQ(nested.objectPath, outer);
    EXPECT_EQ(nested.parentContainers, outer + L"=>inner.zip");
    EXPECT_EQ(nested.innerObject, L"deep.com");
    EXPECT_EQ(nested.depthLevel, 2u);
    EXPECT_FALSE(recorder.overlapped);
}

TEST(EngineScan, ArchivesAreSkippedWhenSwitchedOff)
{
    EngineInstallation installation;
    WriteInfectedTree(installation.Data());
    Recorder recorder;
    ASSERT_EQ(installation.Scan(installation.Data(), recorder, false), 0);
    ASSERT_EQ(recorder.reports.size(), 1u);
    EXPECT_EQ(recorder.reports[0].objectPath, Wide(installation.Data() / "a" / "eicar.com"));
}

// Also with an OpenSSL configuration in the environment that would leave OpenSSL without any
// algorithm: the engine starts OpenSSL without reading a configuration.
TEST(EngineScan, TheShippedSamplesAreFound)
{
    CorvaneTest::TemporaryFolder configuration;
    WriteFile(configuration.Path() / "openssl.cnf",
              CorvaneTest::OpenSslConfigurationWithoutAlgorithms());
    CorvaneTest::SetEnvironment("OPENSSL_CONF", (configuration.Path() / "openssl.cnf").string());
    EngineInstallation installation;
    Recorder recorder;
    ASSERT_EQ(installation.Scan(SAMPLES_FOLDER, recorder), 0);
    std::set<std::wstring> found;
    for (const Report& report : recorder.reports)
        found.insert(report.objectPath.substr(report.objectPath.find_last_of(L"/\\") + 1) + L":" +
                     report.innerObject);
    EXPECT_EQ(found, (std::set<std::wstring>{L"eicar.com:", L"eicar.zip:eicar.com",
                                             L"nested.zip:eicar.com"}));
    CorvaneTest::UnsetEnvironment("OPENSSL_CONF");
}

TEST(EngineScan, EverySignatureFormatAndCategoryIsRecognised)
{
    EngineInstallation installation;
    WriteFile(installation.Data() / "1-marker.txt", "prefix " + Marker("infected") + " suffix");
    WriteFile(installation.Data() / "2-suspicious.txt", Marker("suspicious"));
    WriteFile(installation.Data() / "3-adware.txt", Marker("adware"));
    WriteFile(installation.Data() / "4-hash.bin", "Corvane engine hash test sample\n");
    std::string one = "CORVANE-LOGICAL-";
    WriteFile(installation.Data() / "5-logical.txt", one + "PART-ONE and then " + one + "PART-TWO");
    WriteFile(installation.Data() / "6-half.txt", one + "PART-ONE only");
    WriteFile(installation.Data() / "7-virus-late.txt", "text first\n" + TestVirus());
    Recorder recorder;
    ASSERT_EQ(installation.Scan(installation.Data(), recorder), 0);
    ASSERT_EQ(recorder.reports.size(), 5u);
    EXPECT_EQ(recorder.reports[0].threatName, L"Corvane.Test.Marker");
    EXPECT_EQ(recorder.reports[1].threatName, L"Corvane.Suspicious.TestMarker");
    EXPECT_EQ(recorder.reports[1].scanStatus, ThreatScanner::StatusSuspicious);
    EXPECT_EQ(recorder.reports[2].threatType, ThreatScanner::ThreatAdware);
    EXPECT_NE(recorder.reports[2].objectFlags & ThreatScanner::FlagAdware, 0u);
    EXPECT_EQ(recorder.reports[3].threatName, L"Corvane.Test.HashSample");
    EXPECT_EQ(recorder.reports[4].threatName, L"Corvane.Test.LogicalPair");
}

// A file the system would not open because another scanner judged it malware is a suspicious
// object of its own, not an unreadable one; it was never read, so it is not acted on either.
TEST(EngineScan, AFileTheSystemRefusesAsMalwareIsShownAndLeftInPlace)
{
    EngineInstallation installation;
    const fs::path blocked = installation.Data() / "blocked.exe";
    WriteFile(blocked, "refused by another scanner");
    WriteFile(installation.Data() / "eicar.com", TestVirus());
    Engine().SetBlockedOpenHook([](const char* name)
                                { return std::strstr(name, "blocked.exe") != nullptr; });
    Recorder recorder;
    recorder.action = ThreatScanner::ActionDelete;
    const int result = installation.Scan(installation.Data(), recorder);
    Engine().SetBlockedOpenHook(nullptr);
    EXPECT_EQ(result, 0);
    std::vector<Report> refused;
    for (const Report& report : recorder.reports)
    {
        if (report.objectPath == Wide(blocked))
            refused.push_back(report);
    }
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].scanStatus, ThreatScanner::StatusSuspicious);
    EXPECT_EQ(refused[0].threatName, L"Heuristics.Blocked.ByAnotherScanner");
    EXPECT_EQ(refused[0].objectFlags & ThreatScanner::FlagUnableToRead, 0u);
    EXPECT_TRUE(fs::exists(blocked));
    EXPECT_FALSE(fs::exists(installation.Data() / "eicar.com"));
}

TEST(EngineScan, CleanTreesAndSingleFiles)
{
    EngineInstallation installation;
    WriteFile(installation.Data() / "clean.txt", "clean");
    WriteFile(installation.Data() / "empty.txt", "");
    WriteFile(installation.Data() / "clean.zip", Zip({{"x.txt", "clean"}}));
    WriteFile(installation.Data() / "sub" / "caf\xc3\xa9.com", TestVirus());
    Recorder clean;
    EXPECT_EQ(installation.Scan(installation.Data() / "clean.zip", clean), 0);
    EXPECT_TRUE(clean.reports.empty());

    Recorder single;
    EXPECT_EQ(installation.Scan(installation.Data() / "sub" / "caf\xc3\xa9.com", single), 0);
    ASSERT_EQ(single.reports.size(), 1u);
    EXPECT_EQ(single.reports[0].objectPath, Wide(installation.Data() / "sub" / "caf\xc3\xa9.com"));

    // A relative path is reported, and would be quarantined, under its absolute path.
    const fs::path current = fs::current_path();
    fs::current_path(installation.Folder());
    Recorder relative;
    EXPECT_EQ(installation.Scan("Data/sub", relative), 0);
    fs::current_path(current);
    ASSERT_EQ(relative.reports.size(), 1u);
    EXPECT_EQ(relative.reports[0].objectPath, single.reports[0].objectPath);

    Recorder missing;
    EXPECT_EQ(installation.Scan(installation.Data() / "missing", missing),
              ThreatScanner::PathError);
    EXPECT_TRUE(missing.reports.empty());
}

TEST(EngineScan, CallbacksNeverOverlapOnALargeTree)
{
    EngineInstallation installation;
    std::set<std::wstring> expected;
    for (int i = 0; i < 400; ++i)
    {
        const fs::path file =
            installation.Data() / std::to_string(i % 7) / (std::to_string(i) + ".txt");
        const bool infected = i % 10 == 0;
        WriteFile(file, infected ? TestVirus() : "clean file " + std::to_string(i));
        if (infected)
            expected.insert(Wide(file));
    }
    Recorder recorder;
    recorder.action = ThreatScanner::ActionQuarMove;
    // The first calls hold the scanning threads' reports back long enough to meet them.
    recorder.pauses = 5;
    ASSERT_EQ(installation.Scan(installation.Data(), recorder), 0);
    EXPECT_FALSE(recorder.overlapped);
    // Every detection is directly followed by its outcome for the same object, and detections
    // come in the order of the walk (by name, and all files here lie at the same depth).
    ASSERT_EQ(recorder.reports.size(), 2 * expected.size());
    std::vector<std::wstring> found;
    for (std::size_t i = 0; i < recorder.reports.size(); i += 2)
    {
        EXPECT_EQ(recorder.reports[i].scanStatus, ThreatScanner::StatusInfected);
        EXPECT_EQ(recorder.reports[i + 1].scanStatus, ThreatScanner::StatusMoved);
        EXPECT_EQ(recorder.reports[i + 1].objectPath, recorder.reports[i].objectPath);
        found.push_back(recorder.reports[i].objectPath);
    }
    EXPECT_EQ(found, std::vector<std::wstring>(expected.begin(), expected.end()));
}
