#include "EngineHarness.h"

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace EngineTest;

namespace
{
// out1 receives the first output, for the system object the processes that were not examined.
int ScanObject(CThreatScannerStruct* instance, int type, const wchar_t* path, const wchar_t* name,
               int* denied = nullptr)
{
    int out1 = -1;
    int out2 = 0;
    const wchar_t* out3 = nullptr;
    const int result = Engine().ScanObject(instance, type, path, 0, &out1, &out2, &out3,
                                           static_cast<int>(::getpid()), name);
    if (denied)
        *denied = out1;
    return result;
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

// The device the root file system is mounted from (the last entry for "/"), or empty when the
// root is no mount point.
std::string RootDevice()
{
    std::string device;
    std::ifstream mounts("/proc/self/mounts");
    for (std::string source, mountPoint, rest; mounts >> source >> mountPoint;)
    {
        if (mountPoint == "/")
            device = source;
        std::getline(mounts, rest);
    }
    return device;
}

bool IsBlockDevice(const std::string& path)
{
    struct stat status
    {
    };
    return ::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode);
}
} // namespace

TEST(EngineSystemObjects, SystemScanFindsRunningExecutables)
{
    EngineInstallation installation;
    const fs::path copy = installation.Data() / "marked-sleep";
    fs::create_directories(installation.Data());
    MarkedProcess process(copy);
    Recorder recorder;
    CThreatScannerStruct* instance = installation.Instance(recorder);
    int denied = -1;
    EXPECT_EQ(
        ScanObject(instance, ThreatScanner::SystemObjectType, L"<System>", L"<System>", &denied),
        0);
    // The count is always given; a user who is not root may not examine root's first process.
    EXPECT_GE(denied, 0);
    struct stat first
    {
    };
    if (::geteuid() != 0 && ::stat("/proc/1", &first) == 0 && first.st_uid != ::geteuid())
    {
        EXPECT_GT(denied, 0);
    }
    // Other tests on this machine may run marked programs of their own: only this one's counts.
    std::vector<Report> ours;
    for (const Report& report : recorder.reports)
        if (report.objectPath == Wide(copy) ||
            report.processId == static_cast<std::uint32_t>(process.Id()))
            ours.push_back(report);
    ASSERT_EQ(ours.size(), 1u);
    EXPECT_EQ(ours[0].objectPath, Wide(copy));
    EXPECT_EQ(ours[0].objectType, ThreatScanner::ObjectProcess);
    EXPECT_EQ(ours[0].processId, static_cast<std::uint32_t>(process.Id()));
    EXPECT_EQ(ours[0].scanStatus, ThreatScanner::StatusInfected);
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
    // The system's root, which a user without rights to its device cannot read.
    const std::string device = RootDevice();
    const int expected = device.empty()           ? ThreatScanner::PathError // a chroot
                         : !IsBlockDevice(device) ? ThreatScanner::NotSupported
                                                  : ThreatScanner::FileOpen;
    if (expected == ThreatScanner::FileOpen && ::geteuid() != 0 &&
        ::access(device.c_str(), R_OK) == 0)
        GTEST_SKIP() << "this user may read " << device;
    EXPECT_EQ(
        AsUnprivilegedUser(
            installation.Data(), [&]
            { return ScanObject(instance, ThreatScanner::BootSectorObjectType, L"/", nullptr); }),
        expected);
    EXPECT_TRUE(recorder.reports.empty());
    EXPECT_EQ(ScanObject(instance, 9, L"/", nullptr), ThreatScanner::NotSupported);
}

TEST(EngineSystemObjects, TheBootSectorOfTheRootsDeviceIsReadAsRoot)
{
    const std::string device = RootDevice();
    if (::geteuid() != 0 || !IsBlockDevice(device))
        GTEST_SKIP() << "needs root and a root file system on a block device";
    // A container or a virtual machine's sandbox may refuse even root its disks.
    const int probe = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (probe < 0)
        GTEST_SKIP() << "this machine does not let root open " << device << ": "
                     << std::strerror(errno);
    ::close(probe);
    EngineInstallation installation;
    Recorder recorder;
    CThreatScannerStruct* instance = installation.Instance(recorder);
    EXPECT_EQ(ScanObject(instance, ThreatScanner::BootSectorObjectType, L"/", nullptr), 0);
    for (const Report& report : recorder.reports)
        EXPECT_EQ(report.scanStatus, ThreatScanner::StatusClean);
}
