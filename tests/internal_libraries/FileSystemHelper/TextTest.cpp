#include "FileSystemHelper/Text.h"

#include <gtest/gtest.h>

using namespace FileSystemHelper;

TEST(Text, ConvertsBothWaysInBothCodePages)
{
    for (const unsigned int codePage : {CodePageAnsi, CodePageUtf8})
    {
        EXPECT_EQ(ToWide("Scan Results/Quick-\xc3\xa9t\xc3\xa9.xml", codePage),
                  L"Scan Results/Quick-\u00e9t\u00e9.xml");
        EXPECT_EQ(ToNarrow(L"\u4e2d\U0001F600", codePage), "\xe4\xb8\xad\xf0\x9f\x98\x80");
    }
}

TEST(Text, EmbeddedNulsPassThrough)
{
    EXPECT_EQ(ToWide(std::string("a\0b", 3), CodePageUtf8), std::wstring(L"a\0b", 3));
    EXPECT_EQ(ToNarrow(std::wstring(L"a\0b", 3), CodePageUtf8), std::string("a\0b", 3));
}

TEST(Text, EmptyAndInvalidInputGiveEmptyResults)
{
    EXPECT_EQ(ToWide("", CodePageUtf8), L"");
    EXPECT_EQ(ToNarrow(L"", CodePageUtf8), "");
    EXPECT_EQ(ToWide("ok\xff\xfe", CodePageUtf8), L"");
    EXPECT_EQ(ToWide("\xc3", CodePageAnsi), L"");
    EXPECT_EQ(ToNarrow(std::wstring(1, static_cast<wchar_t>(0xD800)), CodePageUtf8), "");
    EXPECT_EQ(ToNarrow(std::wstring(1, static_cast<wchar_t>(0x110000)), CodePageUtf8), "");
}

TEST(Text, PathsRoundTrip)
{
    const std::wstring wide = L"/tmp/Corvane \u00e9/Scan Results";
    EXPECT_EQ(WidePath(PathFromWide(wide)), wide);
    EXPECT_EQ(PathFromWide(wide).string(), "/tmp/Corvane \xc3\xa9/Scan Results");
}
