#include "FileSystemHelper/File.h"
#include "FileSystemHelper/Text.h"
#include "Installation.h"

#include "ExceptionHelper/Exception.h"

#include <fstream>
#include <gtest/gtest.h>

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
    EXPECT_EQ(std::string(data.begin(), data.end()), "keep");
}

TEST_F(FileRead, SizeOfAClosedHandleIsAnErrorWithCode)
{
    try
    {
        File::GetSize(-1);
        FAIL();
    }
    catch (const ExceptionHelper::Windows& error)
    {
        EXPECT_STREQ(error.what(), "Couldn't get file size");
        EXPECT_NE(boost::get_error_info<ExceptionHelper::ErrorInfo>(error), nullptr);
    }
}
