// The program with the shipped engine, as a user runs it.
#include "EngineHarness.h"
#include "PeLayout.h"
#include "SignedFiles.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace EngineTest;
using testing::HasSubstr;
using testing::Not;

namespace
{
// Zip archives inside each other, the innermost holding the test virus.
std::string NestedZip(int levels)
{
    std::string content = TestVirus();
    std::string name = "eicar.com";
    for (int level = 0; level < levels; ++level)
    {
        content = Zip({{name, content}});
        name = "level" + std::to_string(level) + ".zip";
    }
    return content;
}

} // namespace

TEST(EngineEndToEnd, CustomScanOfTheSamplesWithAndWithoutArchives)
{
    ShippedInstallation shipped;
    const std::string samples = fs::path(SAMPLES_FOLDER).string();
    const std::string withArchives = shipped.Scan(SAMPLES_FOLDER, {"--scan-archives"});
    EXPECT_THAT(withArchives, HasSubstr("Object Path: " + samples + "/eicar.com. "));
    EXPECT_THAT(withArchives,
                HasSubstr("Object Path: " + samples + "/Archives/nested.zip. Parent Containers: " +
                          samples + "/Archives/nested.zip=>eicar.zip. Inner Object: eicar.com"));
    EXPECT_THAT(withArchives, HasSubstr("Scan complete."));
    const auto objects = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_EQ(objects.size(), 3u);
    for (const std::string& object : objects)
    {
        EXPECT_THAT(object, HasSubstr("ScanStatus=\"Infected\""));
        EXPECT_THAT(object, HasSubstr("ThreatName=\"Corvane.Test.EICAR\""));
    }
    EXPECT_THAT(objects[0], HasSubstr("DepthLevel=\"1\""));
    EXPECT_THAT(objects[1], HasSubstr("DepthLevel=\"2\""));

    const std::string without = shipped.Scan(SAMPLES_FOLDER);
    EXPECT_THAT(without, Not(HasSubstr(".zip")));
    const auto plain = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_THAT(plain[0], HasSubstr("ObjectPath=\"" + samples + "/eicar.com\""));
}

TEST(EngineEndToEnd, QuarantineAndDeleteShowTheirOutcome)
{
    ShippedInstallation shipped;
    WriteFile(shipped.Data() / "quarantined.com", TestVirus());
    shipped.Scan(shipped.Data() / "quarantined.com", {"--quarantine"});
    auto objects = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_THAT(objects[0], HasSubstr("ScanStatus=\"Moved\""));
    EXPECT_THAT(objects[0], HasSubstr("ScanAction=\"QuarMove\""));
    EXPECT_FALSE(fs::exists(shipped.Data() / "quarantined.com"));
    std::size_t quarantined = 0;
    for (const auto& entry : fs::directory_iterator(shipped.installation.Folder() / "Quarantine"))
        quarantined += entry.path().extension() == ".bin" ? 1 : 0;
    EXPECT_EQ(quarantined, 1u);

    WriteFile(shipped.Data() / "deleted.com", TestVirus());
    shipped.Scan(shipped.Data(), {"--delete"});
    objects = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_THAT(objects[0], HasSubstr("ScanStatus=\"Deleted\""));
    EXPECT_FALSE(fs::exists(shipped.Data() / "deleted.com"));
}

TEST(EngineEndToEnd, DefinitionsInformationNamesTheStarterDefinitions)
{
    ShippedInstallation shipped;
    // Released 2026-12-08T00:00:00Z, shown in the time zone of the run.
    const std::string output =
        shipped.installation.Run({"--definitions-info"}, {{"TZ", "UTC"}}).output;
    EXPECT_THAT(output, HasSubstr("\tDatabase version: 1\n"));
    EXPECT_THAT(output,
                testing::ContainsRegex(
                    "\tDatabase release date: [^\n]*[^0-9]0?8[^0-9][^\n]*00:00:00[^\n]*\n"));
    EXPECT_THAT(output, testing::ContainsRegex("\tDatabase release date: [^\n]*2026"));
    EXPECT_THAT(output, HasSubstr("\tVersion: 1\n"));
}

// An object the engine cannot see through, because it reaches one of the limits, shows up in
// the report and in the log; it is not passed as clean, and neither moved nor deleted.
TEST(EngineEndToEnd, ObjectsOverTheEngineLimitsAreReportedAndLeftInPlace)
{
    struct Case
    {
        const char* file;
        std::function<void(const fs::path&)> make;
        const char* limit;
        const char* result;
        // Lower limits for the test copy of the engine, as "<limit>=<value>,...".
        const char* lowered = "";
    };
    // Many small members: well over 64 KiB extracted, and more than a millisecond's work.
    const auto manyMembers = [](const fs::path& path)
    {
        std::vector<std::pair<std::string, std::string>> members;
        for (int i = 0; i < 400; ++i)
            members.emplace_back("m" + std::to_string(i) + ".txt", std::string(1024, 'a' + i % 26));
        members.emplace_back("eicar.com", TestVirus());
        WriteFile(path, Zip(members));
    };
    const Case cases[] = {
        {"nested.zip", [](const fs::path& path) { WriteFile(path, NestedZip(18)); }, "MaxRecursion",
         "MaxLevels"},
        {"members.zip",
         [](const fs::path& path)
         {
             std::vector<std::pair<std::string, std::string>> members;
             for (int i = 0; i < 10000; ++i)
                 members.emplace_back("m" + std::to_string(i) + ".txt", std::to_string(i));
             members.emplace_back("eicar.com", TestVirus());
             WriteFile(path, Zip(members));
         },
         "MaxFiles", "MaxFiles"},
        {"huge.com",
         [](const fs::path& path)
         {
             WriteFile(path, TestVirus());
             fs::resize_file(path, (std::uintmax_t(2) << 30) + 4096); // sparse
         },
         "MaxFileSize", "MaxBytes"},
        {"scansize.zip", manyMembers, "MaxScanSize", "MaxBytes", "MaxScanSize=65536"},
        {"scantime.zip", manyMembers, "MaxScanTime", "Stopped", "MaxScanTime=1"}, // milliseconds
    };
    ShippedInstallation shipped;
    for (const char* action : {"--quarantine", "--delete"})
        for (const Case& test : cases)
        {
            SCOPED_TRACE(test.file + std::string(" ") + action);
            const fs::path file = shipped.Data() / test.file;
            test.make(file);
            std::map<std::string, std::string> environment;
            if (*test.lowered)
                environment["CORVANE_TEST_ENGINE_LIMITS"] = test.lowered;
            shipped.Scan(file, {"--scan-archives", action}, environment);
            const auto objects = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
            ASSERT_EQ(objects.size(), 1u);
            EXPECT_THAT(objects[0], HasSubstr("ObjectPath=\"" + file.string() + "\""));
            EXPECT_THAT(objects[0], HasSubstr("ScanStatus=\"Suspicious\""));
            EXPECT_THAT(objects[0], HasSubstr("ThreatType=\"ArchBomb\""));
            EXPECT_THAT(objects[0],
                        HasSubstr(std::string("ThreatName=\"Heuristics.Limits.Exceeded.") +
                                  test.limit + "\""));
            EXPECT_TRUE(fs::exists(file));
            EXPECT_THAT(shipped.Log(),
                        HasSubstr(std::string("Error: Couldn't perform custom scan. Error: ") +
                                  test.result + "\n"));
            fs::remove(file);
        }
}

// A file name with a line break and terminal control sequences, quarantined.
TEST(EngineEndToEnd, HostileNamesAndQuarantinedFilesHandNothingBack)
{
    ShippedInstallation shipped;
    const fs::path file = shipped.Data() / "evil\n\x1b]0;owned\x07\x1b[1Aname.com";
    WriteFile(file, TestVirus());
    ASSERT_EQ(::chmod(file.c_str(), 04755), 0);

    const std::string output = shipped.Scan(shipped.Data(), {"--quarantine"});
    // The detection and its outcome: two lines, each whole, with nothing for the terminal.
    EXPECT_EQ(output.find_first_of("\x1b\x07"), std::string::npos);
    std::size_t lines = 0;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);)
    {
        if (line.find("owned") == std::string::npos)
            continue;
        ++lines;
        EXPECT_THAT(line, testing::StartsWith("Object Path: " + shipped.Data().string() +
                                              "/evil\xef\xbf\xbd\xef\xbf\xbd]0;owned"));
    }
    EXPECT_EQ(lines, 2u);
    const std::string report = CorvaneTest::ReadFile(shipped.Result());
    EXPECT_EQ(CorvaneTest::XmlCharacterProblem(report), "");
    const auto objects = InfectedObjects(report);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_THAT(objects[0], HasSubstr("ScanStatus=\"Moved\""));

    // Nobody but the scanner's user can read or run what is in the quarantine.
    struct stat status
    {
    };
    const auto quarantined = QuarantineFiles(shipped.installation.Folder() / "Quarantine", ".bin");
    ASSERT_EQ(quarantined.size(), 1u);
    ASSERT_EQ(::stat(quarantined[0].c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(CorvaneTest::ReadFile(quarantined[0]), TestVirus());
}

// A set-user-ID file of another user becomes the scanner's own in the quarantine, and the restore
// steps give it back as it was.
TEST(EngineEndToEnd, AQuarantinedFileOfAnotherUserIsRestoredByHand)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give the scanned file to another user";
    ShippedInstallation shipped;
    const fs::path file = shipped.Data() / "setuid.com";
    WriteFile(file, TestVirus());
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(file.c_str(), 04755), 0);
    shipped.Scan(shipped.Data(), {"--quarantine"});

    const fs::path quarantine = shipped.installation.Folder() / "Quarantine";
    struct stat status
    {
    };
    ASSERT_EQ(::stat(quarantine.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    const auto quarantined = QuarantineFiles(quarantine, ".bin");
    const auto records = QuarantineFiles(quarantine, ".txt");
    ASSERT_EQ(quarantined.size(), 1u);
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(::stat(quarantined[0].c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_THAT(CorvaneTest::ReadFile(records[0]),
                HasSubstr("\nOriginal mode: 4755\nOriginal owner: 65534\nOriginal group: 65534\n"));

    // The restore steps: owner first, then the mode, which so applies to the original owner.
    ASSERT_EQ(::chown(quarantined[0].c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(quarantined[0].c_str(), 04755), 0);
    ASSERT_EQ(::rename(quarantined[0].c_str(), file.c_str()), 0);
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 04755u);
    EXPECT_EQ(status.st_uid, 65534u);
    EXPECT_EQ(CorvaneTest::ReadFile(file), TestVirus());
}

// Runs in one installation at the same time: each finds what is inside its archive (its
// extracted members live in a Temp folder of its own), and no run removes a log that another
// running process still holds, or another run's Temp folder.
TEST(EngineEndToEnd, RunsAtTheSameTimeKeepTheirFilesAndLogs)
{
    ShippedInstallation shipped;
    const fs::path folder = shipped.installation.Folder();
    fs::create_directories(folder / "Logs");
    WriteFile(folder / "Logs" / "stale.txt", "an earlier run's log");
    WriteFile(folder / "Logs" / "running.txt", "a running process's log");
    const int held = ::open((folder / "Logs" / "running.txt").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_SH), 0);
    // A running process's Temp folder stays; what a run that was killed left there goes.
    WriteFile(folder / "Temp" / "run-1-0123456789ab" / "member", "another run's file");
    const int heldRun =
        ::open((folder / "Temp" / "run-1-0123456789ab").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(heldRun, LOCK_SH), 0);
    WriteFile(folder / "Temp" / "run-2-abandoned0000" / "member", "a killed run's file");

    // Run 0 stops in the middle of its scan (the test copy of the engine's pause point) while
    // run 1 starts, cleans up, scans and ends; then run 0 goes on.
    const fs::path pause = shipped.Data() / "go";
    std::string outputs[2];
    std::thread runs[2];
    for (int run = 0; run < 2; ++run)
    {
        const fs::path data = shipped.Data() / std::to_string(run);
        fs::create_directories(data);
        fs::copy_file(fs::path(SAMPLES_FOLDER) / "Archives" / "eicar.zip", data / "eicar.zip");
        runs[run] = std::thread(
            [&, run, data]
            {
                outputs[run] =
                    shipped.installation
                        .Run({"--custom", data.string() + ";" + (data / "missing").string(),
                              "--scan-archives", "--scan-result",
                              (data.parent_path() / (std::to_string(run) + ".xml")).string()},
                             run == 0
                                 ? std::map<std::string, std::string>{{"CORVANE_TEST_WALK_PAUSE",
                                                                       pause.string()}}
                                 : std::map<std::string, std::string>{})
                        .output;
            });
        for (int waited = 0; run == 0 && waited < 6000 && !fs::exists(pause.string() + ".waiting");
             ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    runs[1].join();
    WriteFile(pause, "");
    runs[0].join();
    ::close(held);
    ::close(heldRun);

    for (int run = 0; run < 2; ++run)
    {
        EXPECT_THAT(outputs[run],
                    HasSubstr("/" + std::to_string(run) + "/eicar.zip. Parent Containers: "));
        // The missing path was not scanned.
        EXPECT_THAT(outputs[run], HasSubstr("\nScan incomplete.You can access scan result here: "));
        EXPECT_THAT(outputs[run], Not(HasSubstr("Scan complete.")));
        EXPECT_EQ(
            InfectedObjects(CorvaneTest::ReadFile(shipped.Data() / (std::to_string(run) + ".xml")))
                .size(),
            1u);
    }
    EXPECT_TRUE(fs::exists(folder / "Logs" / "running.txt"));
    EXPECT_FALSE(fs::exists(folder / "Logs" / "stale.txt"));
    std::size_t logged = 0;
    for (const auto& entry : fs::directory_iterator(folder / "Logs"))
    {
        const std::string log = CorvaneTest::ReadFile(entry.path());
        logged += log.find("Couldn't perform custom scan") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(logged, 2u);
    EXPECT_EQ(CorvaneTest::ReadFile(folder / "Temp" / "run-1-0123456789ab" / "member"),
              "another run's file");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "Temp"), fs::directory_iterator()), 1);
}

TEST(EngineEndToEnd, AnAcceptedSignatureLeavesOutOnlyWhatItSigns)
{
    ShippedInstallation shipped;
    // The starter definitions look for the test file at the start of a file only.
    std::string hex;
    for (const unsigned char byte : TestVirus())
        hex += "0123456789abcdef"[byte >> 4] + std::string(1, "0123456789abcdef"[byte & 15]);
    WriteFile(shipped.installation.Folder() / "Plugins" / "anywhere.ndb",
              "Corvane.Test.EICAR.Anywhere:0:*:" + hex + "\n");

    // This process and the program it starts trust the test root.
    const CorvaneTest::TrustedTestRoot root;
    // The test file in what a publisher signed: the allow-list leaves it out.
    WriteFile(shipped.Data() / "input.exe",
              CorvaneTest::ReadFile(CorvaneTest::UnsignedProgram()) + TestVirus());
    const fs::path credentials = CorvaneTest::SignedFilesFolder() / "tellmark";
    ASSERT_EQ(CorvaneTest::RunProgram(CORVANE_OSSLSIGNCODE,
                                      {"sign", "-certs", credentials.string() + ".pem", "-key",
                                       credentials.string() + ".key", "-in",
                                       (shipped.Data() / "input.exe").string(), "-out",
                                       (shipped.Data() / "signed.exe").string()})
                  .exitCode,
              0);
    fs::remove(shipped.Data() / "input.exe");
    // The test file added to the certificate table of a signed copy afterwards: reported.
    for (const auto& [name, bytes] : CorvaneTest::TamperedCertificateTables(
             CorvaneTest::ReadFile(CorvaneTest::SignedFile("tellmark")), TestVirus()))
    {
        if (name == "payload inside the entry")
            WriteFile(shipped.Data() / "hidden.exe", bytes);
    }
    shipped.Reload();

    const std::string output = shipped.Scan(shipped.Data(), {"--delete"});
    EXPECT_THAT(output, HasSubstr("/signed.exe. "));
    const auto objects = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_THAT(objects[0], HasSubstr("hidden.exe\""));
    EXPECT_THAT(objects[0], HasSubstr("ScanStatus=\"Deleted\""));
    EXPECT_FALSE(fs::exists(shipped.Data() / "hidden.exe"));
    EXPECT_TRUE(fs::exists(shipped.Data() / "signed.exe"));
}

namespace
{
// The most memory any program this test ran and waited for held at once, in bytes.
long long PeakChildMemory()
{
    struct rusage usage
    {
    };
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<long long>(usage.ru_maxrss) * 1024;
}

// Removes a chain of folders of one name, however deep, by moving each next level up in place of
// the one above it: paths never grow long, and few folders are open at a time.
void RemoveChain(const fs::path& top, const std::string& name)
{
    const int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (;;)
    {
        const int level = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        if (level < 0)
            break;
        ::unlinkat(level, "z.com", 0);
        const bool deeper = ::renameat(level, name.c_str(), fd, "next") == 0;
        ::close(level);
        ::unlinkat(fd, name.c_str(), AT_REMOVEDIR);
        if (!deeper || ::renameat(fd, "next", fd, name.c_str()) != 0)
            break;
    }
    ::close(fd);
}
} // namespace

// A folder chain 5,000 levels deep (about 20 MB of folders, a path of half a megabyte at the
// bottom) beside detections: the walk's memory grows with the depth, not with its square, and it
// holds a few dozen folders open, not one per level. What lies in a folder it let go on the way
// down and what lies after the chain are both found and acted on.
TEST(EngineEndToEnd, AVeryDeepChainCostsLittleAndHidesNothing)
{
    ShippedInstallation shipped;
    const fs::path chain = shipped.Data() / "chain";
    fs::create_directories(chain);
    const std::string name(100, 'd');
    int fd = ::open(chain.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 5000 && fd >= 0; ++level)
    {
        if (level == 10)
        {
            // After the chain in name order: the walk comes back to this folder for it.
            const int file = ::openat(fd, "z.com", O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ASSERT_EQ(::write(file, TestVirus().data(), TestVirus().size()),
                      static_cast<ssize_t>(TestVirus().size()));
            ::close(file);
        }
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0700), 0);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    ::close(fd);
    WriteFile(shipped.Data() / "later.com", TestVirus());

    const std::string output = shipped.Scan(shipped.Data(), {"--delete"});
    const long long peak = PeakChildMemory();
    RemoveChain(chain, name);
    EXPECT_THAT(output, HasSubstr("Scan complete."));
    const auto objects = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_THAT(objects[0], HasSubstr(name + "/" + name + "/z.com\" "));
    EXPECT_THAT(objects[1], HasSubstr("/later.com\" "));
    for (const std::string& object : objects)
        EXPECT_THAT(object, HasSubstr("ScanStatus=\"Deleted\""));
    EXPECT_FALSE(fs::exists(shipped.Data() / "later.com"));
#ifdef __SANITIZE_ADDRESS__
    const long long limit = 500ll << 20; // the sanitizer's own bookkeeping comes on top
#else
    const long long limit = 100ll << 20;
#endif
    EXPECT_LT(peak, limit);
}

// A sparse file quarantined into another file system takes no more room there than its data.
TEST(EngineEndToEnd, ASparseFileQuarantinedAcrossFileSystemsKeepsItsHoles)
{
    ShippedInstallation shipped;
    char pattern[] = "/dev/shm/corvane-sparse-XXXXXX";
    struct stat shm
    {
    };
    struct stat home
    {
    };
    if (::stat("/dev/shm", &shm) != 0 ||
        ::stat(shipped.installation.Folder().c_str(), &home) != 0 || shm.st_dev == home.st_dev ||
        !::mkdtemp(pattern))
        GTEST_SKIP() << "no second file system at /dev/shm";
    const fs::path other = pattern;
    const fs::path file = other / "sparse.com";
    const std::uintmax_t size = 64ull << 20;
    WriteFile(file, TestVirus());
    fs::resize_file(file, size);
    shipped.Scan(other, {"--quarantine"});
    const bool gone = !fs::exists(file);
    fs::remove_all(other);

    EXPECT_TRUE(gone);
    const auto objects = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_THAT(objects[0], HasSubstr("ScanStatus=\"Moved\""));
    const auto stored = QuarantineFiles(shipped.installation.Folder() / "Quarantine", ".bin");
    ASSERT_EQ(stored.size(), 1u);
    struct stat copy
    {
    };
    ASSERT_EQ(::stat(stored[0].c_str(), &copy), 0);
    EXPECT_EQ(static_cast<std::uintmax_t>(copy.st_size), size);
    EXPECT_LE(copy.st_blocks * 512, 64 * 1024);
    EXPECT_EQ(CorvaneTest::ReadFile(stored[0]).substr(0, TestVirus().size()), TestVirus());
}

// SIGTERM or SIGINT while an archive is being scanned, in a scan that deletes what it finds: the
// file deleted before is in the report, with what the archive showed so far; nothing is deleted
// afterwards and the paths after it are not scanned; the console and the log say the scan was
// interrupted; and no temporary file stays behind, for the next run or anyone else.
TEST(EngineEndToEnd, AnInterruptedScanReportsWhatItDidAndLeavesNothingBehind)
{
    // A program started from a background job would keep ignoring SIGINT, as it should.
    const auto previous = std::signal(SIGINT, SIG_DFL);
    for (const int signal : {SIGTERM, SIGINT})
    {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
        ShippedInstallation shipped;
        const fs::path first = shipped.Data() / "first.com";
        const fs::path archive = shipped.Data() / "archive";
        const fs::path later = shipped.Data() / "later";
        WriteFile(first, TestVirus());
        // The test copy of the engine waits inside the archive at the member "pause-here"; the
        // member after it is scanned when the scan goes on.
        WriteFile(archive / "b.zip",
                  Zip({{"pause-here", std::string(1 << 20, 'x')}, {"eicar.com", TestVirus()}}));
        WriteFile(archive / "c.com", TestVirus());
        WriteFile(later / "d.com", TestVirus());
        const fs::path marker = shipped.Data().parent_path() / "paused";

        CorvaneTest::RunResult result;
        std::thread run(
            [&]
            {
                result = shipped.installation.Run(
                    {"--custom", first.string() + ";" + archive.string() + ";" + later.string(),
                     "--delete", "--scan-archives", "--scan-result", shipped.Result().string()},
                    {{"CORVANE_ENGINE_PAUSE_MARKER", marker.string()}});
            });
        for (int wait = 0; wait < 6000 && !fs::exists(marker); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const pid_t program = static_cast<pid_t>(std::atoll(CorvaneTest::ReadFile(marker).c_str()));
        const fs::path temp = shipped.installation.Folder() / "Temp";
        const bool extracting = fs::exists(temp) && !fs::is_empty(temp);
        if (program > 0)
            ::kill(program, signal);
        run.join();
        ASSERT_GT(program, 0) << "the scan never reached the archive";
        EXPECT_TRUE(extracting);

        EXPECT_EQ(result.exitCode, 0);
        EXPECT_THAT(result.output,
                    HasSubstr("\nScan interrupted.You can access scan result here: "));
        EXPECT_THAT(result.output, Not(HasSubstr("Scan complete.")));
        EXPECT_THAT(shipped.Log(), HasSubstr("Info: Scan interrupted\n"));
        const std::string report = CorvaneTest::ReadFile(shipped.Result());
        EXPECT_THAT(report, HasSubstr("<Path Value=\"" + archive.string() + "\" />"));
        EXPECT_THAT(report, Not(HasSubstr(later.string())));
        const auto objects = InfectedObjects(report);
        ASSERT_GE(objects.size(), 2u);
        EXPECT_THAT(objects[0], HasSubstr("ObjectPath=\"" + first.string() + "\""));
        EXPECT_THAT(objects[0], HasSubstr("ScanStatus=\"Deleted\""));
        EXPECT_THAT(objects[1], HasSubstr("ObjectPath=\"" + (archive / "b.zip").string() + "\""));
        EXPECT_THAT(objects[1], HasSubstr("InnerObject=\"eicar.com\""));
        EXPECT_FALSE(fs::exists(first));
        EXPECT_TRUE(fs::exists(archive / "c.com"));
        EXPECT_TRUE(fs::exists(later / "d.com"));
        EXPECT_FALSE(fs::exists(temp));

        // The next run scans the rest and has nothing to clean up either.
        EXPECT_THAT(shipped.Scan(later, {"--delete"}), HasSubstr("Scan complete."));
        EXPECT_FALSE(fs::exists(later / "d.com"));
        EXPECT_FALSE(fs::exists(temp));
    }
    std::signal(SIGINT, previous);
}
