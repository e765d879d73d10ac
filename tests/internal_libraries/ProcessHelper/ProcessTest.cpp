#include "ProcessHelper/Process.h"
#include "PathHelper/Special.h"

#include "ExceptionHelper/Exception.h"

#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

TEST(Process, PathIsTheRunningExecutable)
{
    const auto path = ProcessHelper::Process::Path(nullptr);
    EXPECT_TRUE(path.is_absolute());
    EXPECT_EQ(path.filename(), "ProcessHelperTests");
    EXPECT_TRUE(boost::filesystem::equivalent(path, "/proc/self/exe"));
    EXPECT_EQ(ProcessHelper::Process::CurrentId(), static_cast<std::uint32_t>(::getpid()));
}

TEST(Process, CommandLineStartsWithTheProgram)
{
    const auto tokens = ProcessHelper::CommandLineArguments();
    ASSERT_FALSE(tokens.empty());
    EXPECT_NE(tokens.front().find(L"ProcessHelperTests"), std::wstring::npos);
}

TEST(SpecialFolder, CommonAppDataFollowsProgramDataOrDefaults)
{
    ::setenv("PROGRAMDATA", "/srv/programdata", 1);
    EXPECT_EQ(PathHelper::Special::FolderPath(PathHelper::Special::CommonAppData, nullptr),
              "/srv/programdata");
    ::unsetenv("PROGRAMDATA");
    EXPECT_EQ(PathHelper::Special::FolderPath(PathHelper::Special::CommonAppData, nullptr),
              "/var/lib");
    try
    {
        PathHelper::Special::FolderPath(26, nullptr);
        FAIL();
    }
    catch (const ExceptionHelper::Exception& error)
    {
        EXPECT_STREQ(error.what(), "SHGetFolderPath FAILED");
    }
}
