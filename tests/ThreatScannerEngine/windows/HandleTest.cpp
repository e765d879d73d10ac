// The engine on Windows: the samples through the program, actions that stay on the scanned file
// when its folder is swapped for a junction or another folder, and signers verified on the
// scanned file.
#include "EngineHarness.h"
#include "Installation.h"
#include "SignedFiles.h"
#include "WindowsFixtures.h"

#include <algorithm>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <shlobj.h>
#include <thread>
#include <vector>
#include <windows.h>
#include <winioctl.h>
// clang-format off
#include <msi.h>
// clang-format on

using namespace EngineTest;
using testing::HasSubstr;

namespace
{
// Makes the folder a junction to the target; false where the system cannot (Wine 8).
bool MakeJunction(const fs::path& folder, const fs::path& target)
{
    fs::create_directory(folder);
    const HANDLE handle =
        ::CreateFileW(folder.wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const std::wstring substitute = L"\\??\\" + fs::absolute(target).wstring();
    const std::wstring print = fs::absolute(target).wstring();
    const auto substituteBytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
    const auto printBytes = static_cast<USHORT>(print.size() * sizeof(wchar_t));
    // A mount-point reparse buffer: tag, sizes, then both names, each followed by a null.
    std::vector<unsigned char> buffer(16 + substituteBytes + printBytes + 4);
    const auto put16 = [&](std::size_t at, USHORT value) { std::memcpy(&buffer[at], &value, 2); };
    const ULONG tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(&buffer[0], &tag, 4);
    put16(4, static_cast<USHORT>(buffer.size() - 8));
    put16(8, 0);
    put16(10, substituteBytes);
    put16(12, static_cast<USHORT>(substituteBytes + 2));
    put16(14, printBytes);
    std::memcpy(&buffer[16], substitute.data(), substituteBytes);
    std::memcpy(&buffer[16 + substituteBytes + 2], print.data(), printBytes);
    DWORD returned = 0;
    const BOOL made =
        ::DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                          static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    ::CloseHandle(handle);
    if (!made)
        fs::remove(folder);
    return made;
}

struct Swap
{
    fs::path folder;
    fs::path outside;
    bool junction = false;
    bool done = false;
};
Swap* swap = nullptr;

// Once the folder is listed, it is renamed away and its name made to lead outside the tree, or
// where junctions cannot be made, taken by another folder holding a file of the same name.
void SwapFolder(const char* listed)
{
    if (!swap || swap->done || fs::path(listed).filename() != swap->folder.filename())
        return;
    swap->done = true;
    fs::rename(swap->folder, swap->folder.string() + ".old");
    swap->junction = MakeJunction(swap->folder, swap->outside);
    if (!swap->junction)
    {
        fs::create_directory(swap->folder);
        WriteFile(swap->folder / "eicar.com", TestVirus());
    }
}
} // namespace

TEST(EngineWindows, TheProgramFindsTheSamplesAndActsOnThem)
{
    ShippedInstallation shipped;
    const fs::path samples = SAMPLES_FOLDER;
    fs::create_directories(shipped.Data() / "Archives");
    for (const char* name :
         {"readme.txt", "eicar.com", "Archives/eicar.zip", "Archives/nested.zip"})
        fs::copy_file(samples / name, shipped.Data() / name);
    const fs::path eicar = shipped.Data() / "eicar.com";
    const fs::path nested = shipped.Data() / "Archives" / "nested.zip";

    const std::string output = shipped.Scan(shipped.Data(), {"--scan-archives"});
    EXPECT_THAT(output, HasSubstr("Object Path: " + eicar.string() + ". "));
    EXPECT_THAT(output, HasSubstr("Object Path: " + nested.string() + ". Parent Containers: " +
                                  nested.string() + "=>eicar.zip. Inner Object: eicar.com"));
    const auto objects = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_EQ(objects.size(), 3u) << output;
    for (const std::string& object : objects)
        EXPECT_THAT(object, HasSubstr("ThreatName=\"Corvane.Test.EICAR\""));

    shipped.Scan(eicar, {"--quarantine"});
    auto outcome = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_EQ(outcome.size(), 1u);
    EXPECT_THAT(outcome[0], HasSubstr("ScanStatus=\"Moved\""));
    EXPECT_FALSE(fs::exists(eicar));
    std::vector<fs::path> quarantined;
    for (const auto& entry : fs::directory_iterator(shipped.installation.Folder() / "Quarantine"))
        quarantined.push_back(entry.path());
    ASSERT_EQ(quarantined.size(), 2u);
    std::sort(quarantined.begin(), quarantined.end());
    EXPECT_EQ(CorvaneTest::ReadFile(quarantined[0]), TestVirus());
    // The record escapes backslashes, so that every value stays on its line.
    std::string recorded;
    for (const char c : eicar.string())
        recorded += c == '\\' ? std::string("\\\\") : std::string(1, c);
    EXPECT_THAT(CorvaneTest::ReadFile(quarantined[1]),
                HasSubstr("Original path: " + recorded + "\n"));

    // A read-only file is no shield.
    const fs::path deleted = shipped.Data() / "deleted.com";
    WriteFile(deleted, TestVirus());
    ::SetFileAttributesW(deleted.wstring().c_str(), FILE_ATTRIBUTE_READONLY);
    shipped.Scan(shipped.Data(), {"--delete"});
    outcome = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_EQ(outcome.size(), 1u);
    EXPECT_THAT(outcome[0], HasSubstr("ScanStatus=\"Deleted\""));
    EXPECT_FALSE(fs::exists(deleted));
    EXPECT_TRUE(fs::exists(nested)); // archive members are left alone
}

TEST(EngineWindows, AFolderSwappedBeforeTheActionCostsNoOutsideFile)
{
    for (const int action : {ThreatScanner::ActionDelete, ThreatScanner::ActionQuarMove})
    {
        SCOPED_TRACE(action);
        EngineInstallation installation;
        Swap state{installation.Data() / "sub", installation.Folder() / "outside"};
        fs::create_directories(state.folder);
        fs::create_directories(state.outside);
        WriteFile(state.folder / "eicar.com", TestVirus());
        WriteFile(state.outside / "eicar.com", TestVirus());
        swap = &state;
        Engine().SetWalkListedHook(SwapFolder);
        Recorder recorder;
        recorder.action = action;
        installation.Scan(installation.Data(), recorder);
        Engine().SetWalkListedHook(nullptr);
        swap = nullptr;

        ASSERT_TRUE(state.done);
        if (!state.junction)
            std::printf("Junctions cannot be made here: the folder was swapped for a folder\n");
        // Nothing outside the tree is touched.
        EXPECT_EQ(CorvaneTest::ReadFile(state.outside / "eicar.com"), TestVirus());
        // Wine opens a name inside an open folder by the path that folder had when it was
        // opened, not through the folder itself: which of the two files in the tree is scanned
        // and acted on can only be judged on Windows.
        if (CorvaneTest::RunningOnWine())
        {
            std::printf("Under Wine: which file in the tree was acted on is not judged\n");
            continue;
        }
        EXPECT_FALSE(fs::exists(state.folder.string() + ".old/eicar.com"));
        if (!state.junction)
        {
            EXPECT_TRUE(fs::exists(state.folder / "eicar.com"));
        }
    }
}

// Files too large to be read in one go are read by the scanning library through their handle;
// files over the engine's size limit (past 2 GiB, where 32-bit offsets end) get its alert, not a
// read error.
TEST(EngineWindows, LargeFilesAreScannedThroughTheirHandle)
{
    EngineInstallation installation;
    const fs::path file = installation.Data() / "large.bin";
    WriteFile(file, std::string(3 << 20, 'x') + Marker("infected"));
    Recorder recorder;
    EXPECT_EQ(installation.Scan(file, recorder), ThreatScanner::Success);
    ASSERT_EQ(recorder.reports.size(), 1u);
    EXPECT_EQ(recorder.reports[0].scanStatus, ThreatScanner::StatusInfected);
    EXPECT_EQ(Narrow(recorder.reports[0].objectPath), file);

    const fs::path huge = installation.Data() / "huge.com";
    WriteFile(huge, TestVirus());
    fs::resize_file(huge, (std::uintmax_t(2) << 30) + 4096); // sparse
    Recorder limit;
    EXPECT_EQ(installation.Scan(huge, limit), ThreatScanner::MaxBytes);
    ASSERT_EQ(limit.reports.size(), 1u);
    EXPECT_EQ(limit.reports[0].scanStatus, ThreatScanner::StatusSuspicious);
    EXPECT_EQ(limit.reports[0].threatName, L"Heuristics.Limits.Exceeded.MaxFileSize");
    EXPECT_TRUE(fs::exists(huge));
}

// The signer passed with a detection is verified through the handle the engine scanned: a
// publisher-signed file is passed with its signer, while a signed file that a writer holds open,
// a signed file (a copy or a hard link) renamed over the detected one once the scan is done, or
// the neighbour that a trailing dot's name would be shortened to, vouches for nothing.
TEST(EngineWindows, TheSignerIsThatOfTheScannedFile)
{
    const CorvaneTest::TrustedTestRoot root;
    EngineInstallation installation;
    // The code at the start of the test program's text section, which signing leaves alone.
    const std::string code =
        CorvaneTest::ReadFile(CorvaneTest::UnsignedProgram()).substr(0x400, 24);
    std::string hex;
    for (const unsigned char byte : code)
        hex += "0123456789abcdef"[byte >> 4] + std::string(1, "0123456789abcdef"[byte & 15]);
    WriteFile(installation.Folder() / "Plugins" / "program.ndb",
              "Corvane.Test.Program:0:*:" + hex + "\n");
    installation.Restart();
    const fs::path decoy = installation.Folder() / "decoy.exe";
    fs::copy_file(CorvaneTest::SignedFile("tellmark"), decoy);

    // The signed program and, beside it, the test file under the program's name and a dot.
    const fs::path signedFiles = installation.Data() / "signed";
    fs::create_directories(signedFiles);
    fs::copy_file(decoy, signedFiles / "x.exe");
    const std::wstring dotted = L"\\\\?\\" + fs::absolute(signedFiles).wstring() + L"\\x.exe.";
    const HANDLE made = ::CreateFileW(dotted.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    const std::string virus = TestVirus();
    DWORD written = 0;
    EXPECT_TRUE(
        ::WriteFile(made, virus.data(), static_cast<DWORD>(virus.size()), &written, nullptr));
    ::CloseHandle(made);
    // A writer holding the signed program open could change it while it is verified.
    for (const bool writer : {false, true})
    {
        const HANDLE held =
            writer ? ::CreateFileW((signedFiles / "x.exe").wstring().c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                   : nullptr;
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        Recorder scanned;
        EXPECT_EQ(installation.Scan(signedFiles, scanned), 0);
        if (held)
            ::CloseHandle(held);
        ASSERT_EQ(scanned.reports.size(), 2u);
        for (const Report& report : scanned.reports)
        {
            const bool trusted = !writer && report.objectPath.back() != L'.';
            EXPECT_EQ(report.verifiedSigner, trusted ? L"Tellmark Limited" : L"(null)")
                << Narrow(report.objectPath) << writer;
        }
    }

    const fs::path detected = installation.Data() / "plain" / "detected.com";
    const fs::path replacement = installation.Folder() / "replacement.exe";
    for (const bool link : {false, true})
    {
        WriteFile(detected, TestVirus());
        if (link)
            ASSERT_TRUE(
                ::CreateHardLinkW(replacement.wstring().c_str(), decoy.wstring().c_str(), nullptr));
        else
            fs::copy_file(decoy, replacement);
        // The scanned file is moved aside (its handle lets others rename it, not replace it)
        // and the signed one takes its name.
        const fs::path aside = installation.Folder() / "aside.com";
        bool renamed = false;
        OnScanned(
            [&](const std::string& path)
            {
                if (fs::path(path).filename() == detected.filename())
                    renamed =
                        ::MoveFileExW(detected.wstring().c_str(), aside.wstring().c_str(), 0) &&
                        ::MoveFileExW(replacement.wstring().c_str(), detected.wstring().c_str(), 0);
            });
        Recorder swapped;
        EXPECT_EQ(installation.Scan(detected.parent_path(), swapped), 0);
        OnScanned(nullptr);
        EXPECT_TRUE(renamed) << link;
        ASSERT_EQ(swapped.reports.size(), 1u) << link;
        EXPECT_EQ(swapped.reports[0].scanStatus, ThreatScanner::StatusInfected);
        EXPECT_EQ(swapped.reports[0].verifiedSigner, L"(null)") << link;
        fs::remove(detected);
        fs::remove(aside);
    }
}

namespace
{
// A special folder of the system's, as this process resolves it.
fs::path SpecialFolder(int folder)
{
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path)))
        return {};
    return path;
}

// The versions of the product that share the release's upgrade code, as the system's installer
// has them registered.
std::vector<std::wstring> InstalledVersions()
{
    std::vector<std::wstring> versions;
    wchar_t code[39];
    for (DWORD index = 0;
         ::MsiEnumRelatedProductsW(L"" CORVANE_UPGRADE_CODE, 0, index, code) == ERROR_SUCCESS;
         ++index)
    {
        wchar_t version[64];
        DWORD length = 64;
        if (::MsiGetProductInfoW(code, L"VersionString", version, &length) == ERROR_SUCCESS)
            versions.emplace_back(version, length);
    }
    return versions;
}
} // namespace

// An older release installed by the system's installer scans with the engine and the starter
// definitions that came with it; installed for every user, it keeps the scan result in the
// user's own folder. The release's package upgrades it in place: one product left, of the new
// version, the samples gone, the machine's folders made. Removing it takes its files along but
// keeps the quarantine. (Wine's installer neither expands the wildcards of the package's removal
// rows nor tells an upgrade's removal apart, so which run-time folders go is checked on the
// package's tables.)
TEST(EngineWindows, InstallationPackagesInstallUpgradeAndRemoveTheProgram)
{
    const wchar_t* programFiles = ::_wgetenv(L"ProgramW6432");
    ASSERT_NE(programFiles, nullptr);
    const fs::path folder = fs::path(programFiles) / CORVANE_INSTALLATION_FOLDER_NAME;
    const fs::path program = folder / "CorvaneCommandLineScanner.exe";
    const fs::path quarantined = folder / "Quarantine" / "kept.bin";
    {
        CorvaneTest::Windows::InstalledProduct older(CORVANE_INSTALLATION_MSI);
        ASSERT_TRUE(fs::exists(program));
        EXPECT_EQ(InstalledVersions(), std::vector<std::wstring>{L"1.0.0"});
        const std::string output =
            CorvaneTest::RunScanner(program,
                                    {"--custom", (folder / "Samples").string(), "--scan-archives"})
                .output;
        std::size_t found = 0;
        for (std::size_t at = output.find("Object Path: "); at != std::string::npos;
             at = output.find("Object Path: ", at + 1))
            ++found;
        EXPECT_EQ(found, 3u) << output;
        const std::string saved = "You can access scan result here: ";
        const std::size_t at = output.find(saved);
        ASSERT_NE(at, std::string::npos) << output;
        std::string reportPath =
            output.substr(at + saved.size(), output.find('\n', at) - at - saved.size());
        if (!reportPath.empty() && reportPath.back() == '\r')
            reportPath.pop_back();
        const fs::path report = reportPath;
        EXPECT_EQ(report.parent_path(),
                  SpecialFolder(CSIDL_LOCAL_APPDATA) / "Corvane" / "Scan Results");
        EXPECT_TRUE(fs::remove(report));
        EXPECT_THAT(CorvaneTest::RunScanner(program, {"--definitions-info"}).output,
                    HasSubstr("\tDatabase version: 1\n"));
        fs::create_directories(quarantined.parent_path());
        WriteFile(quarantined, "quarantined");

        CorvaneTest::Windows::InstalledProduct release(CORVANE_RELEASE_MSI);
        EXPECT_EQ(InstalledVersions(), std::vector<std::wstring>{L"" CORVANE_RELEASE_VERSION});
        EXPECT_TRUE(fs::exists(program));
        EXPECT_TRUE(fs::exists(folder / "Plugins" / "update.txt"));
        EXPECT_FALSE(fs::exists(folder / "Samples"));
        EXPECT_TRUE(fs::exists(folder / "installation.ini"));
        EXPECT_TRUE(fs::is_directory(SpecialFolder(CSIDL_COMMON_APPDATA) / "Corvane" /
                                     "Corvane antivirus" / "Quarantine"));
        EXPECT_TRUE(release.Remove());
        EXPECT_TRUE(InstalledVersions().empty());
        EXPECT_FALSE(fs::exists(program));
        EXPECT_FALSE(fs::exists(folder / "scan.dll"));
        EXPECT_TRUE(fs::exists(quarantined));
    }
    fs::remove_all(folder);
}

namespace
{
std::uint64_t AllocatedBytes(const fs::path& file)
{
    const HANDLE opened = ::CreateFileW(file.wstring().c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    FILE_STANDARD_INFO standard{};
    const bool known =
        opened != INVALID_HANDLE_VALUE &&
        ::GetFileInformationByHandleEx(opened, FileStandardInfo, &standard, sizeof standard);
    if (opened != INVALID_HANDLE_VALUE)
        ::CloseHandle(opened);
    return known ? static_cast<std::uint64_t>(standard.AllocationSize.QuadPart) : ~0ull;
}
} // namespace

// Quarantined from another volume, a sparse file is copied with its holes; a file changed since
// it was scanned, though its size is the same, is not copied at all and stays where it is.
TEST(EngineWindows, AQuarantineCopyFromAnotherVolumeKeepsHolesAndOnlyTheScannedFile)
{
    EngineInstallation installation;
    // Under Wine, Z: is the Linux root, and /dev/shm a file system of its own. On Windows, a
    // folder on a second volume can be named in CORVANE_TEST_OTHER_VOLUME. It is another volume
    // when a file cannot be moved from there into the installation.
    const char* named = std::getenv("CORVANE_TEST_OTHER_VOLUME");
    const fs::path volume = named ? fs::path(named) : fs::path("Z:\\dev\\shm");
    const fs::path other = volume / fs::unique_path("corvane-action-%%%%%%%%");
    boost::system::error_code error;
    if (!fs::create_directories(other, error))
        GTEST_SKIP() << "no folder can be made at " << volume.string();
    WriteFile(other / "probe", "probe");
    const bool moved = ::MoveFileExW((other / "probe").wstring().c_str(),
                                     (installation.Folder() / "probe").wstring().c_str(), 0);
    const DWORD moveError = ::GetLastError();
    if (moved || moveError != ERROR_NOT_SAME_DEVICE)
    {
        fs::remove_all(other);
        GTEST_SKIP() << volume.string() << " is on the installation's volume";
    }
    const fs::path sparse = other / "sparse.com";
    const fs::path changed = other / "changed.com";
    const std::uintmax_t size = 64ull << 20;
    WriteFile(sparse, TestVirus());
    fs::resize_file(sparse, size);
    WriteFile(changed, TestVirus());
    // Rewritten in place after the scan, at its size: only its change time tells.
    OnScanned(
        [&](const std::string& path)
        {
            if (fs::path(path).filename() != changed.filename())
                return;
            ::Sleep(50);
            std::fstream(changed.string(), std::ios::in | std::ios::out | std::ios::binary)
                .write("X", 1);
        });
    Recorder recorder;
    recorder.action = ThreatScanner::ActionQuarMove;
    installation.Scan(other, recorder);
    OnScanned(nullptr);
    const bool sparseGone = !fs::exists(sparse);
    const bool changedKept = fs::exists(changed);
    fs::remove_all(other);

    EXPECT_TRUE(sparseGone);
    EXPECT_TRUE(changedKept);
    const auto stored = QuarantineFiles(installation.Quarantine(), ".bin");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(fs::file_size(stored[0]), size);
    EXPECT_LE(AllocatedBytes(stored[0]), 1u << 20);
    EXPECT_EQ(ReadFile(stored[0]).substr(0, TestVirus().size()), TestVirus());
    // The failed move leaves no record behind.
    EXPECT_EQ(QuarantineFiles(installation.Quarantine(), ".txt").size(), 1u);
}

// Closing the console while an archive is scanned in a scan that deletes what it finds: Windows
// calls the program's control handler on a thread of its own (the system's control routine) and
// ends the process as soon as the handler returns. By then the report of what was found and done
// is written, the log says the scan was interrupted, and the run's temporary files are gone.
TEST(EngineWindows, ClosingTheConsoleEndsTheScanCleanly)
{
    ShippedInstallation shipped;
    const fs::path first = shipped.Data() / "first.com";
    const fs::path archive = shipped.Data() / "archive";
    WriteFile(first, TestVirus());
    WriteFile(archive / "b.zip",
              Zip({{"pause-here", std::string(1 << 20, 'x')}, {"eicar.com", TestVirus()}}));
    WriteFile(archive / "c.com", TestVirus());
    const fs::path marker = shipped.Data().parent_path() / "paused";

    CorvaneTest::RunResult result;
    std::thread run(
        [&]
        {
            result = shipped.installation.Run(
                {"--custom", first.string() + ";" + archive.string(), "--delete", "--scan-archives",
                 "--scan-result", shipped.Result().string()},
                {{"CORVANE_ENGINE_PAUSE_MARKER", marker.string()}}, CorvaneTest::Ending::Unchecked);
        });
    for (int wait = 0; wait < 6000 && !fs::exists(marker); ++wait)
        ::Sleep(10);
    const DWORD id = static_cast<DWORD>(std::atoll(CorvaneTest::ReadFile(marker).c_str()));
    const HANDLE program = id ? ::OpenProcess(PROCESS_ALL_ACCESS, FALSE, id) : nullptr;
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "CtrlRoutine")));
    const HANDLE handler =
        program && routine
            ? ::CreateRemoteThread(program, nullptr, 0, routine,
                                   reinterpret_cast<void*>(std::uintptr_t{CTRL_CLOSE_EVENT}), 0,
                                   nullptr)
            : nullptr;
    const bool returned = handler && ::WaitForSingleObject(handler, 60000) == WAIT_OBJECT_0;
    if (program)
    {
        ::TerminateProcess(program, STATUS_CONTROL_C_EXIT);
        ::CloseHandle(program);
    }
    if (handler)
        ::CloseHandle(handler);
    run.join();
    ASSERT_NE(id, 0u) << "the scan never reached the archive";
    ASSERT_TRUE(returned) << "the handler was not called or did not return";

    EXPECT_THAT(shipped.Log(), HasSubstr("Info: Scan interrupted"));
    const auto objects = InfectedObjects(CorvaneTest::ReadFile(shipped.Result()));
    ASSERT_GE(objects.size(), 2u);
    EXPECT_THAT(objects[0], HasSubstr("ScanStatus=\"Deleted\""));
    EXPECT_THAT(objects[1], HasSubstr("InnerObject=\"eicar.com\""));
    EXPECT_FALSE(fs::exists(first));
    EXPECT_TRUE(fs::exists(archive / "c.com"));
    EXPECT_FALSE(fs::exists(shipped.installation.Folder() / "Temp"));
}

// A scan enables the backup privilege the process holds (an elevated administrator's), so that
// files whose access list shuts out even administrators are read.
TEST(EngineWindows, AScanEnablesTheBackupPrivilegeWhenHeld)
{
    EngineInstallation installation;
    WriteFile(installation.Data() / "clean.txt", "clean");
    HANDLE token = nullptr;
    ASSERT_TRUE(
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token));
    LUID backup{};
    ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &backup));
    TOKEN_PRIVILEGES disabled{};
    disabled.PrivilegeCount = 1;
    disabled.Privileges[0].Luid = backup;
    ::AdjustTokenPrivileges(token, FALSE, &disabled, 0, nullptr, nullptr);
    Recorder recorder;
    EXPECT_EQ(installation.Scan(installation.Data(), recorder), 0);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    ASSERT_TRUE(::GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size));
    ::CloseHandle(token);
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD index = 0; index < privileges->PrivilegeCount; ++index)
    {
        const LUID_AND_ATTRIBUTES& held = privileges->Privileges[index];
        if (held.Luid.LowPart == backup.LowPart && held.Luid.HighPart == backup.HighPart)
        {
            EXPECT_TRUE(held.Attributes & SE_PRIVILEGE_ENABLED);
            return;
        }
    }
    GTEST_SKIP() << "this process does not hold the backup privilege";
}

// The system scan covers what the processes have loaded, not only their executables: a library
// this process loaded, with a detectable marker in it, is reported as this process's object.
TEST(EngineWindows, TheSystemScanCoversLoadedModules)
{
    EngineInstallation installation;
    const fs::path module = installation.Data() / "marked-module.dll";
    WriteFile(module, CorvaneTest::ReadFile(CorvaneTest::UnsignedProgram()) + Marker("infected"));
    const HMODULE loaded =
        ::LoadLibraryExW(module.wstring().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(loaded, nullptr) << ::GetLastError();
    Recorder recorder;
    CThreatScannerStruct* instance = installation.Instance(recorder);
    int out1 = 0;
    int out2 = 0;
    const wchar_t* out3 = nullptr;
    const int result =
        Engine().ScanObject(instance, ThreatScanner::SystemObjectType, L"<System>", 0, &out1, &out2,
                            &out3, static_cast<int>(::GetCurrentProcessId()), L"<System>");
    ::FreeLibrary(loaded);
    EXPECT_EQ(result, 0);
    std::vector<Report> ours;
    for (const Report& report : recorder.reports)
        if (fs::path(Narrow(report.objectPath)).filename() == module.filename())
            ours.push_back(report);
    ASSERT_EQ(ours.size(), 1u);
    EXPECT_EQ(ours[0].objectType, ThreatScanner::ObjectProcess);
    EXPECT_EQ(ours[0].processId, static_cast<std::uint32_t>(::GetCurrentProcessId()));
    EXPECT_EQ(ours[0].scanStatus, ThreatScanner::StatusInfected);
}

// A named stream of a file is scanned as an object of its own, "file:stream", beside the file's
// own content; removing it removes the stream only.
TEST(EngineWindows, NamedStreamsAreScannedAsObjectsOfTheirOwn)
{
    EngineInstallation installation;
    const fs::path file = installation.Data() / "carrier.txt";
    WriteFile(file, "clean");
    const std::wstring stream = file.wstring() + L":hidden";
    const HANDLE made = ::CreateFileW(stream.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool streams = made != INVALID_HANDLE_VALUE;
    if (streams)
    {
        const std::string virus = TestVirus();
        DWORD written = 0;
        ::WriteFile(made, virus.data(), static_cast<DWORD>(virus.size()), &written, nullptr);
        ::CloseHandle(made);
    }
    // Wine keeps no named streams: a name with a colon is a file of its own there, or nothing.
    if (!streams ||
        std::distance(fs::directory_iterator(installation.Data()), fs::directory_iterator()) != 1)
        GTEST_SKIP() << "no named streams here";
    Recorder recorder;
    recorder.action = ThreatScanner::ActionDelete;
    EXPECT_EQ(installation.Scan(installation.Data(), recorder), 0);
    ASSERT_EQ(recorder.reports.size(), 2u);
    EXPECT_EQ(recorder.reports[0].objectPath, Wide(file) + L":hidden");
    EXPECT_EQ(recorder.reports[0].scanStatus, ThreatScanner::StatusInfected);
    EXPECT_EQ(recorder.reports[1].scanStatus, ThreatScanner::StatusDeleted);
    EXPECT_EQ(ReadFile(file), "clean");
    EXPECT_EQ(::GetFileAttributesW(stream.c_str()), INVALID_FILE_ATTRIBUTES);
}
