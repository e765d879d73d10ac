#include "ProcessHelper/Process.h"
#include "PathHelper/KnownFolders.h"

#include "ExceptionHelper/Exception.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace
{
void ExpectFolderPathFails(int folder)
{
    try
    {
        PathHelper::Special::FolderPath(folder, nullptr);
        FAIL() << folder;
    }
    catch (const ExceptionHelper::Exception& error)
    {
        EXPECT_STREQ(error.what(), "SHGetFolderPath FAILED");
    }
}
} // namespace

#ifndef _WIN32
// The stand-ins: /proc/self/exe, getpid and $PROGRAMDATA.
TEST(Process, PathIsTheRunningExecutable)
{
    const auto path = ProcessHelper::Process::Path(nullptr);
    EXPECT_TRUE(path.is_absolute());
    EXPECT_EQ(path.filename(), "ProcessHelperTests");
    EXPECT_TRUE(boost::filesystem::equivalent(path, "/proc/self/exe"));
    EXPECT_EQ(ProcessHelper::Process::CurrentId(), static_cast<std::uint32_t>(::getpid()));
}

TEST(SpecialFolder, CommonAppDataFollowsProgramDataOrDefaults)
{
    ::setenv("PROGRAMDATA", "/srv/programdata", 1);
    EXPECT_EQ(PathHelper::Special::FolderPath(PathHelper::Special::CommonAppData, nullptr),
              "/srv/programdata");
    ::unsetenv("PROGRAMDATA");
    EXPECT_EQ(PathHelper::Special::FolderPath(PathHelper::Special::CommonAppData, nullptr),
              "/var/lib");
    ExpectFolderPathFails(26);
}

TEST(SpecialFolder, LocalAppDataIsTheXdgStateFolder)
{
    const auto local = [] { return PathHelper::Special::FolderPath(28, nullptr); };
    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_STATE_HOME", "/srv/state", 1);
    EXPECT_EQ(local(), "/srv/state");
    // A relative value is not a state folder.
    ::setenv("XDG_STATE_HOME", "state", 1);
    EXPECT_EQ(local(), "/home/someone/.local/state");
    ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(local(), "/home/someone/.local/state");
    ::unsetenv("HOME");
    ExpectFolderPathFails(28);
    if (home)
        ::setenv("HOME", savedHome.c_str(), 1);
}
#else
TEST(Process, PathIsTheRunningExecutableOrTheGivenModule)
{
    const auto path = ProcessHelper::Process::Path(nullptr);
    EXPECT_TRUE(path.is_absolute());
    EXPECT_TRUE(boost::iequals(path.filename().wstring(), L"ProcessHelperTests.exe"))
        << path.string();
    EXPECT_TRUE(boost::filesystem::is_regular_file(path));
    EXPECT_EQ(ProcessHelper::Process::CurrentId(),
              static_cast<std::uint32_t>(::GetCurrentProcessId()));

    const auto kernel = ProcessHelper::Process::Path(::GetModuleHandleW(L"kernel32.dll"));
    EXPECT_TRUE(kernel.is_absolute());
    EXPECT_TRUE(boost::iequals(kernel.filename().wstring(), L"kernel32.dll")) << kernel.string();
}

TEST(Process, PathOfAnUnloadedModuleFails)
{
    // The address of a local is no module handle.
    int notAModule = 0;
    try
    {
        ProcessHelper::Process::Path(&notAModule);
        FAIL();
    }
    catch (const ExceptionHelper::Windows& error)
    {
        EXPECT_STREQ(error.what(), "Couldn't get module file name");
        const unsigned long* code = boost::get_error_info<ExceptionHelper::ErrorInfo>(error);
        ASSERT_NE(code, nullptr);
        EXPECT_NE(*code, 0u);
    }
}

TEST(SpecialFolder, CommonAppDataIsTheSystemsFolder)
{
    const auto folder =
        PathHelper::Special::FolderPath(PathHelper::Special::CommonAppData, nullptr);
    EXPECT_TRUE(folder.is_absolute());
    EXPECT_TRUE(boost::filesystem::is_directory(folder));
    // The system names the same folder in the environment of every process.
    const wchar_t* programData = ::_wgetenv(L"PROGRAMDATA");
    ASSERT_NE(programData, nullptr);
    EXPECT_TRUE(boost::filesystem::equivalent(folder, programData));
    // No such folder id.
    ExpectFolderPathFails(0xFF);
    EXPECT_TRUE(boost::filesystem::is_directory(
        PathHelper::Special::FolderPath(PathHelper::Special::LocalAppData, nullptr)));
}
#endif

TEST(Process, CommandLineStartsWithTheProgram)
{
    const auto tokens = ProcessHelper::CommandLineArguments();
    ASSERT_FALSE(tokens.empty());
    EXPECT_NE(tokens.front().find(L"ProcessHelperTests"), std::wstring::npos);
#ifdef _WIN32
    // Split by the same rules as the C runtime's arguments.
    EXPECT_EQ(tokens.size(), static_cast<std::size_t>(__argc));
#endif
}
