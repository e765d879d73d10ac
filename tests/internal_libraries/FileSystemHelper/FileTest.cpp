#include "FileSystemHelper/File.h"
#include "FileSystemHelper/HeldFile.h"
#include "FileSystemHelper/OpenFile.h"
#include "FileSystemHelper/OutputFile.h"
#include "FileSystemHelper/RunFolder.h"
#include "FileSystemHelper/Text.h"
#include "Installation.h"

#include "ExceptionHelper/Exception.h"
#include "ExceptionHelper/LastError.h"

#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <set>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using FileSystemHelper::File;

class FileRead : public testing::Test
{
protected:
    std::wstring Write(const std::string& name, const std::string& content)
    {
        const auto path = folder.Path() / name;
        std::ofstream(path.string(), std::ios::binary) << content;
        return FileSystemHelper::WidePath(path);
    }

    CorvaneTest::TemporaryFolder folder;
};

TEST_F(FileRead, ReplacesTheBufferWithExactlyTheFileBytes)
{
    const std::string content("{\"platform\":\0\"beta\"}", 20);
    std::vector<char> data(1000, 'x');
    ASSERT_TRUE(File::Read(Write("UpdateServer.txt", content), data));
    EXPECT_EQ(std::string(data.begin(), data.end()), content);
}

TEST_F(FileRead, EmptyMissingAndFolderPathsFailAndLeaveTheBuffer)
{
    std::vector<char> data = {'k', 'e', 'e', 'p'};
    EXPECT_FALSE(File::Read(Write("empty.txt", ""), data));
    EXPECT_FALSE(File::Read(FileSystemHelper::WidePath(folder.Path() / "missing.txt"), data));
    EXPECT_FALSE(File::Read(FileSystemHelper::WidePath(folder.Path()), data));
#ifndef _WIN32
    // Nor is a FIFO read, or waited for.
    ASSERT_EQ(::mkfifo((folder.Path() / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(File::Read(FileSystemHelper::WidePath(folder.Path() / "fifo"), data));
#endif
    EXPECT_EQ(std::string(data.begin(), data.end()), "keep");
}

TEST_F(FileRead, SizeOfAClosedHandleIsAnErrorWithCode)
{
    try
    {
#ifdef _WIN32
        File::GetSize(nullptr);
#else
        File::GetSize(-1);
#endif
        FAIL();
    }
    catch (const ExceptionHelper::Windows& error)
    {
        EXPECT_STREQ(error.what(), "Couldn't get file size");
        ASSERT_NE(boost::get_error_info<ExceptionHelper::ErrorInfo>(error), nullptr);
        EXPECT_NE(*boost::get_error_info<ExceptionHelper::ErrorInfo>(error), 0u);
    }
}

#ifdef _WIN32
TEST_F(FileRead, MissingFileLeavesTheFileNotFoundCode)
{
    std::vector<char> data;
    ExceptionHelper::SetLastError(0);
    EXPECT_FALSE(File::Read(FileSystemHelper::WidePath(folder.Path() / "missing.txt"), data));
    EXPECT_EQ(ExceptionHelper::LastError(), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
}

// A reader that keeps the file open must not stop the program from reading it.
TEST_F(FileRead, ReadsAFileThatIsOpenForReadingElsewhere)
{
    const std::wstring path = Write("config.json", "{}");
    const HANDLE other = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    std::vector<char> data;
    EXPECT_TRUE(File::Read(path, data));
    ::CloseHandle(other);
    EXPECT_EQ(std::string(data.begin(), data.end()), "{}");
}
#endif

// Files are opened by their wide path, so a name outside the ANSI code page is the very file
// that the file system lists under that name.
TEST_F(FileRead, OpenFileUsesTheWidePath)
{
    const std::wstring name = L"Quick-\u00e9t\u00e9 \u4e2d.xml";
    const std::wstring path =
        FileSystemHelper::WidePath(folder.Path() / FileSystemHelper::PathFromWide(name));
    std::FILE* file = FileSystemHelper::OpenFile(path, L"wb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::fwrite("<Summary/>\n", 1, 11, file), 11u);
    std::fclose(file);

    // The file system lists one file, under exactly that name.
    boost::filesystem::directory_iterator entry(folder.Path());
    ASSERT_NE(entry, boost::filesystem::directory_iterator());
    EXPECT_EQ(FileSystemHelper::WidePath(entry->path().filename()), name);
    std::vector<char> data;
    ASSERT_TRUE(File::Read(path, data));
    EXPECT_EQ(std::string(data.begin(), data.end()), "<Summary/>\n");

    EXPECT_EQ(FileSystemHelper::OpenFile(L"", L"rb"), nullptr);
    EXPECT_EQ(FileSystemHelper::OpenFile(path, nullptr), nullptr);

    // Replacing it works by the same name, and leaves no temporary file behind.
    ASSERT_TRUE(FileSystemHelper::SaveWholeFile(FileSystemHelper::PathFromWide(path),
                                                "<Summary />\n", FileSystemHelper::Access::Shared));
    ASSERT_TRUE(File::Read(path, data));
    EXPECT_EQ(std::string(data.begin(), data.end()), "<Summary />\n");
    EXPECT_EQ(std::distance(boost::filesystem::directory_iterator(folder.Path()),
                            boost::filesystem::directory_iterator()),
              1);
}

// Whole buffers land at the position or the offset asked (beyond the end too); a handle that
// cannot write fails rather than claiming the bytes were written.
TEST_F(FileRead, WritesWholeBuffersAtThePositionOrAnOffset)
{
    const std::wstring path = Write("out.bin", "");
    const std::string block(3 << 20, 'b');
#ifdef _WIN32
    const auto open = [&path](DWORD access)
    {
        return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    };
    HANDLE writable = open(GENERIC_WRITE);
    HANDLE readOnly = open(GENERIC_READ);
    ASSERT_NE(writable, INVALID_HANDLE_VALUE);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    const auto close = [](HANDLE handle) { return ::CloseHandle(handle) != 0; };
#else
    const std::string name = FileSystemHelper::PathFromWide(path).string();
    const int writable = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
    const int readOnly = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(writable, 0);
    ASSERT_GE(readOnly, 0);
    const auto close = [](int fd) { return ::close(fd) == 0; };
#endif
    EXPECT_TRUE(File::WriteAll(writable, "head", 4));
    EXPECT_TRUE(File::WriteAllAt(writable, block.data(), block.size(), 10));
    EXPECT_TRUE(File::WriteAllAt(writable, "tail", 4, 10 + block.size()));
    EXPECT_TRUE(File::WriteAll(writable, "", 0));
    EXPECT_FALSE(File::WriteAll(readOnly, "x", 1));
    EXPECT_FALSE(File::WriteAllAt(readOnly, "x", 1, 0));
    EXPECT_TRUE(close(writable));
    EXPECT_TRUE(close(readOnly));

    std::vector<char> data;
    ASSERT_TRUE(File::Read(path, data));
    EXPECT_TRUE(std::string(data.begin(), data.end()) ==
                "head" + std::string(6, '\0') + block + "tail");
}

// Readers share a lock and keep a writer out for as long as it waits; a writer keeps readers out.
// Locks conflict inside one process too, nothing but a regular file is locked, and only a writer
// creates the file.
TEST(FileLock, ReadersShareItAndAWriterHasItAlone)
{
    using FileSystemHelper::LockMode;
    using FileSystemHelper::LockResult;
    CorvaneTest::TemporaryFolder folder;
    const auto file = folder.Path() / "set.lock";
    FileSystemHelper::HeldFile reader;
    FileSystemHelper::HeldFile other;
    FileSystemHelper::HeldFile writer;
    EXPECT_EQ(reader.Lock(file, LockMode::Shared), LockResult::Failed);
    EXPECT_FALSE(boost::filesystem::exists(file));
    ASSERT_EQ(writer.Lock(file, LockMode::Exclusive), LockResult::Locked);
    writer.Release();
#ifndef _WIN32
    // Anyone who may open it could hold it: it is its owner's alone, also when an earlier run
    // left it open to others.
    EXPECT_EQ(boost::filesystem::status(file).permissions() & 077, 0);
    boost::filesystem::permissions(file, boost::filesystem::perms(0644));
    ASSERT_EQ(writer.Lock(file, LockMode::Exclusive), LockResult::Locked);
    writer.Release();
    EXPECT_EQ(boost::filesystem::status(file).permissions() & 077, 0);
#endif
    ASSERT_EQ(reader.Lock(file, LockMode::Shared), LockResult::Locked);
    EXPECT_EQ(other.Lock(file, LockMode::Shared), LockResult::Locked);
    EXPECT_EQ(writer.Lock(file, LockMode::Exclusive, std::chrono::milliseconds(100)),
              LockResult::Busy);
    EXPECT_FALSE(writer.Held());
    reader.Release();
    other.Release();
    ASSERT_EQ(writer.Lock(file, LockMode::Exclusive), LockResult::Locked);
    EXPECT_EQ(reader.Lock(file, LockMode::Shared, std::chrono::milliseconds(50)), LockResult::Busy);
    writer.Release();
    EXPECT_EQ(reader.Lock(file, LockMode::Shared), LockResult::Locked);

    boost::filesystem::create_directory(folder.Path() / "folder");
    EXPECT_EQ(other.Lock(folder.Path() / "folder", LockMode::Shared), LockResult::Failed);
#ifndef _WIN32
    boost::filesystem::create_symlink(file, folder.Path() / "link");
    EXPECT_EQ(other.Lock(folder.Path() / "link", LockMode::Shared), LockResult::Failed);
#endif
}

// A sweep of the shared folder takes what no run holds and leaves a live run's folder whole; the
// run's own folder goes with it, the shared folder only once nothing else is in it.
TEST(RunFolder, ASweepLeavesHeldFoldersAndTheirOwnersRemoveThem)
{
    namespace fs = boost::filesystem;
    CorvaneTest::TemporaryFolder folder;
    const fs::path temp = folder.Path() / "Temp";
    fs::path held;
    {
        const FileSystemHelper::RunFolder run(temp, "run-1-");
        held = run.Path();
        ASSERT_FALSE(held.empty());
        EXPECT_EQ(held.parent_path(), temp);
        std::ofstream((held / "member").string()) << "a live run's file";
        fs::create_directories(temp / "run-2-abandoned" / "inner");
        std::ofstream((temp / "run-2-abandoned" / "inner" / "member").string()) << "left";
        fs::create_directories(temp / "other");

        FileSystemHelper::RemoveAbandonedRunFolders(temp, "run-");
        EXPECT_TRUE(fs::exists(held / "member"));
        EXPECT_FALSE(fs::exists(temp / "run-2-abandoned"));
        EXPECT_TRUE(fs::exists(temp / "other"));
    }
    EXPECT_FALSE(fs::exists(held));
    EXPECT_TRUE(fs::exists(temp / "other"));
    fs::remove(temp / "other");
    {
        const FileSystemHelper::RunFolder run(temp, "run-1-");
        ASSERT_FALSE(run.Path().empty());
    }
    EXPECT_FALSE(fs::exists(temp));
}

#ifdef _WIN32
namespace
{
// The folder's access list as read back from the system: whether it is protected from what its
// parent passes on, and the SIDs it lets in.
bool ReadAccess(const boost::filesystem::path& folder, bool& protectedList,
                std::set<std::wstring>& allowed)
{
    const HANDLE opened =
        ::CreateFileW(folder.wstring().c_str(), READ_CONTROL,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool read = ::GetSecurityInfo(opened, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, &list, nullptr, &descriptor) == ERROR_SUCCESS;
    ::CloseHandle(opened);
    if (!read)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    protectedList = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD index = 0; list && index < list->AceCount; ++index)
    {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        wchar_t* sid = nullptr;
        if (::GetAce(list, index, reinterpret_cast<void**>(&entry)) &&
            entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ::ConvertSidToStringSidW(&entry->SidStart, &sid))
        {
            allowed.insert(sid);
            ::LocalFree(sid);
        }
    }
    ::LocalFree(descriptor);
    return true;
}
} // namespace

// A run folder is private from its creation, and a private folder that exists with an access list
// open to everybody is closed again: this process's user, the system and administrators only,
// nothing passed on from the parent.
TEST(RunFolder, RunAndPrivateFoldersKeepOtherUsersOut)
{
    namespace fs = boost::filesystem;
    CorvaneTest::TemporaryFolder folder;
    const fs::path open = folder.Path() / "open";
    SECURITY_ATTRIBUTES everybody{sizeof everybody, nullptr, FALSE};
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, &everybody.lpSecurityDescriptor, nullptr));
    ASSERT_TRUE(::CreateDirectoryW(open.wstring().c_str(), &everybody));
    ::LocalFree(everybody.lpSecurityDescriptor);

    bool protectedList = false;
    std::set<std::wstring> allowed;
    ASSERT_TRUE(ReadAccess(open, protectedList, allowed));
    EXPECT_EQ(allowed.count(L"S-1-1-0"), 1u);

    const FileSystemHelper::RunFolder run(folder.Path() / "Temp", "run-1-");
    ASSERT_FALSE(run.Path().empty());
    ASSERT_TRUE(FileSystemHelper::CreatePrivateFolder(open));
    // Wine keeps no access list: it reads one back from the Unix mode the list was turned into,
    // which shows who else may enter, but neither the protection nor the administrators.
    const bool wine = CorvaneTest::RunningOnWine();
    for (const fs::path& checked : {run.Path(), open})
    {
        SCOPED_TRACE(checked.string());
        allowed.clear();
        ASSERT_TRUE(ReadAccess(checked, protectedList, allowed));
        EXPECT_EQ(allowed.count(L"S-1-1-0"), 0u);      // everybody
        EXPECT_EQ(allowed.count(L"S-1-5-32-545"), 0u); // users
        EXPECT_EQ(allowed.count(L"S-1-5-11"), 0u);     // authenticated users
        EXPECT_EQ(allowed.count(L"S-1-5-18"), 1u);
        if (wine)
            continue;
        EXPECT_TRUE(protectedList);
        EXPECT_EQ(allowed.count(L"S-1-5-32-544"), 1u);
        EXPECT_EQ(allowed.size(), 4u); // and this user, and the owner rights entry
    }
}
#endif
