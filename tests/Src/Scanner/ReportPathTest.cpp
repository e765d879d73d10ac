#include "Scanner/ReportPath.h"

#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

using namespace CorvaneCommandLineScanner;

TEST(ReportPath, FileNameValidity)
{
    for (const char* valid : {"out", "out.xml", ".", "..", "a b", "report.v2", "\xc3\xa9t\xc3\xa9"})
        EXPECT_TRUE(IsValidFileName(valid)) << valid;
    for (const char* invalid : {"", " out", "out ", "out.", "...", "a:b", "a<b", "a>b", "a\"b",
                                "a/b", "a\\b", "a|b", "a\tb", "\x1f"})
        EXPECT_FALSE(IsValidFileName(invalid)) << invalid;
    EXPECT_FALSE(IsValidFileName(std::string("a\0b", 3)));
}

TEST(ReportPath, DefaultNameGoesBelowPathsWithoutAValidFileName)
{
    const std::wstring name = L"Quick-20200216T093015.042137.xml";
    // The default name is joined with the platform's separator.
    const std::wstring below = std::wstring(1, boost::filesystem::path::preferred_separator) + name;
    // A valid last component is the file itself, without an extension added.
    EXPECT_EQ(ReportFilePath(L"/tmp/reports/out", name), L"/tmp/reports/out");
    // A trailing separator leaves "." as the last component, which is a valid name.
    EXPECT_EQ(ReportFilePath(L"/tmp/reports/", name), L"/tmp/reports/");
    EXPECT_EQ(ReportFilePath(L"/", name), L"/" + name);
    EXPECT_EQ(ReportFilePath(L"/tmp/reports.", name), L"/tmp/reports." + below);
    EXPECT_EQ(ReportFilePath(L"/tmp/re:ports", name), L"/tmp/re:ports" + below);
    EXPECT_EQ(ReportFilePath(L"/tmp/reports ", name), L"/tmp/reports " + below);
    EXPECT_EQ(ReportFilePath(L"relative/out.xml", name), L"relative/out.xml");
}
