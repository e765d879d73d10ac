#include "EngineHarness.h"

#include <boost/filesystem/operations.hpp>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace EngineTest;

namespace
{
int ScanObject(CThreatScannerStruct* instance, int type, const wchar_t* path, const wchar_t* name)
{
    int out1 = 0;
    int out2 = 0;
    const wchar_t* out3 = nullptr;
    return Engine().ScanObject(instance, type, path, 0, &out1, &out2, &out3,
                               static_cast<int>(::getpid()), name);
}

// Runs a copy of a system program with a detectable marker appended, until it is destroyed.
class MarkedProcess
{
public:
    explicit MarkedProcess(const fs::path& copy) : path(copy)
    {
        fs::copy_file("/bin/sleep", copy);
        WriteFile(copy.string() + ".marker", Marker("infected"));
        std::string content = ReadFile(copy) + ReadFile(copy.string() + ".marker");
        fs::remove(copy.string() + ".marker");
        WriteFile(copy, content);
        fs::permissions(copy, fs::perms::owner_all);
        child = ::fork();
        if (child == 0)
        {
            ::execl(copy.c_str(), copy.c_str(), "600", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Wait until the child runs the copy rather than the test program.
        const std::string link = "/proc/" + std::to_string(child) + "/exe";
        for (int i = 0; i < 10000 && fs::read_symlink(link) != copy; ++i)
            ::usleep(1000);
    }
    ~MarkedProcess()
    {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    pid_t Id() const { return child; }

private:
    fs::path path;
    pid_t child = -1;
};
} // namespace

TEST(EngineSystemObjects, SystemScanFindsRunningExecutables)
{
    EngineInstallation installation;
    const fs::path copy = installation.Data() / "marked-sleep";
    fs::create_directories(installation.Data());
    MarkedProcess process(copy);
    Recorder recorder;
    CThreatScannerStruct* instance = installation.Instance(recorder);
    EXPECT_EQ(ScanObject(instance, ThreatScanner::SystemObjectType, L"<System>", L"<System>"), 0);
    ASSERT_EQ(recorder.reports.size(), 1u);
    EXPECT_EQ(recorder.reports[0].objectPath, Wide(copy));
    EXPECT_EQ(recorder.reports[0].objectType, ThreatScanner::ObjectProcess);
    EXPECT_EQ(recorder.reports[0].processId, static_cast<std::uint32_t>(process.Id()));
    EXPECT_EQ(ScanObject(instance, ThreatScanner::SystemObjectType, L"/", nullptr),
              ThreatScanner::InvalidArgument);
}

TEST(EngineSystemObjects, BootSectorsOfRootsWithoutAReadableDeviceFail)
{
    EngineInstallation installation;
    Recorder recorder;
    CThreatScannerStruct* instance = installation.Instance(recorder);
    // Not a mount point at all.
    EXPECT_EQ(ScanObject(instance, ThreatScanner::BootSectorObjectType,
                         Wide(installation.Data()).c_str(), nullptr),
              ThreatScanner::PathError);
    // /proc is mounted, but not from a block device.
    EXPECT_EQ(ScanObject(instance, ThreatScanner::BootSectorObjectType, L"/proc/", nullptr),
              ThreatScanner::NotSupported);
    // The root by a mount table of the test's: mounted from something other than a block device,
    // and not a mount point at all (a chroot).
    const fs::path table = installation.Data() / "mounts";
    WriteFile(table, "/dev/null / ext4 rw 0 0\nproc /proc proc rw 0 0\n");
    Engine().SetMountTable(table.c_str());
    EXPECT_EQ(ScanObject(instance, ThreatScanner::BootSectorObjectType, L"/", nullptr),
              ThreatScanner::NotSupported);
    WriteFile(table, "proc /proc proc rw 0 0\n");
    EXPECT_EQ(ScanObject(instance, ThreatScanner::BootSectorObjectType, L"/", nullptr),
              ThreatScanner::PathError);
    Engine().SetMountTable(nullptr);
    // The system's root: read when the device is readable, refused otherwise, and without a
    // boot sector where the root is no mount point.
    const int root = AsUnprivilegedUser(
        installation.Data(),
        [&] { return ScanObject(instance, ThreatScanner::BootSectorObjectType, L"/", nullptr); });
    EXPECT_TRUE(root == ThreatScanner::NotSupported || root == ThreatScanner::FileOpen ||
                root == ThreatScanner::PathError)
        << root;
    EXPECT_TRUE(recorder.reports.empty());
    EXPECT_EQ(ScanObject(instance, 9, L"/", nullptr), ThreatScanner::NotSupported);
}
