#include "FileSystemHelper/Text.h"
#include "FileSystemHelper/WindowsPath.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace FileSystemHelper;

TEST(Text, ConvertsBothWaysInUtf8)
{
    EXPECT_EQ(ToWide("Scan Results/Quick-\xc3\xa9t\xc3\xa9.xml", CodePageUtf8),
              L"Scan Results/Quick-\u00e9t\u00e9.xml");
    EXPECT_EQ(ToNarrow(L"\u4e2d\U0001F600", CodePageUtf8), "\xe4\xb8\xad\xf0\x9f\x98\x80");
    EXPECT_EQ(ToWide("\xe4\xb8\xad\xf0\x9f\x98\x80", CodePageUtf8), L"\u4e2d\U0001F600");
}

#ifdef _WIN32
// The ANSI code page is the system's own; Wine's default for an English locale is 1252.
TEST(Text, ConvertsBothWaysInTheAnsiCodePage)
{
    if (::GetACP() != 1252)
        GTEST_SKIP() << "ANSI code page " << ::GetACP();
    EXPECT_EQ(ToWide("Quick-\xe9t\xe9 \x80", CodePageAnsi), L"Quick-\u00e9t\u00e9 \u20ac");
    EXPECT_EQ(ToNarrow(L"Quick-\u00e9t\u00e9 \u20ac", CodePageAnsi), "Quick-\xe9t\xe9 \x80");
}
#else
// The Linux stand-in: the system code page is UTF-8.
TEST(Text, TheAnsiCodePageIsUtf8)
{
    EXPECT_EQ(ToWide("Scan Results/Quick-\xc3\xa9t\xc3\xa9.xml", CodePageAnsi),
              L"Scan Results/Quick-\u00e9t\u00e9.xml");
    EXPECT_EQ(ToNarrow(L"\u4e2d\U0001F600", CodePageAnsi), "\xe4\xb8\xad\xf0\x9f\x98\x80");
    EXPECT_EQ(ToNarrow(std::wstring(1, static_cast<wchar_t>(0x110000)), CodePageUtf8), "");
}

// Names are bytes: every byte string round-trips, and bytes that are not UTF-8 never turn into
// (or get lost beside) characters that name a different file.
TEST(Text, BytesThatAreNotUtf8RoundTripAsLoneSurrogates)
{
    const std::string names[] = {"pr\xffog",
                                 "\xc3",
                                 "truncated \xe4\xb8",
                                 "\xed\xa0\x80surrogate",
                                 "\xc0\xafoverlong",
                                 "\xf4\x90\x80\x80"
                                 "big",
                                 "ok\xff\xfe\x01\x1b"};
    for (const std::string& name : names)
    {
        const std::wstring wide = ToWide(name, CodePageUtf8);
        EXPECT_EQ(ToNarrow(wide, CodePageUtf8), name);
        EXPECT_EQ(PathFromWide(WidePath(boost::filesystem::path(name))).string(), name);
    }
    EXPECT_EQ(ToWide("pr\xffog", CodePageAnsi), L"pr\xdcffog");
    EXPECT_EQ(ToWide("\xc3\xa9\xe4\xb8", CodePageUtf8), L"\u00e9\xdce4\xdcb8");
    // No byte gives another lone surrogate, so it converts to nothing rather than to a name.
    EXPECT_EQ(ToNarrow(L"a" + std::wstring(1, static_cast<wchar_t>(0xDC7F)), CodePageUtf8), "");
}
#endif

TEST(Text, EmbeddedNulsPassThrough)
{
    EXPECT_EQ(ToWide(std::string("a\0b", 3), CodePageUtf8), std::wstring(L"a\0b", 3));
    EXPECT_EQ(ToNarrow(std::wstring(L"a\0b", 3), CodePageUtf8), std::string("a\0b", 3));
}

TEST(Text, EmptyInputGivesEmptyResults)
{
    EXPECT_EQ(ToWide("", CodePageUtf8), L"");
    EXPECT_EQ(ToNarrow(L"", CodePageUtf8), "");
}

#ifdef _WIN32
TEST(Text, PathsRoundTrip)
{
    const std::wstring wide = L"C:\\ProgramData\\Corvane \u00e9\u4e2d\\Scan Results";
    EXPECT_EQ(WidePath(PathFromWide(wide)), wide);
    EXPECT_EQ(PathFromWide(wide).wstring(), wide);
}

// A file name that is not valid UTF-16 keeps its narrow form distinct and comes back unchanged.
TEST(Text, IllFormedUtf16RoundTrips)
{
    const std::wstring names[] = {std::wstring(L"lone ") + wchar_t(0xD800),
                                  std::wstring(1, wchar_t(0xDC80)) + L"x",
                                  std::wstring(L"pair \U0001F600 then ") + wchar_t(0xDBFF)};
    for (const std::wstring& name : names)
    {
        const std::string narrow = ToNarrow(name, CodePageUtf8);
        EXPECT_EQ(ToWide(narrow, CodePageUtf8), name);
        EXPECT_NE(narrow, ToNarrow(L"lone \uFFFD", CodePageUtf8));
    }
}
#else
TEST(Text, PathsRoundTrip)
{
    const std::wstring wide = L"/tmp/Corvane \u00e9/Scan Results";
    EXPECT_EQ(WidePath(PathFromWide(wide)), wide);
    EXPECT_EQ(PathFromWide(wide).string(), "/tmp/Corvane \xc3\xa9/Scan Results");
}
#endif

// Drive, share and volume roots have no parent: a path splits below them, never inside them, and
// a root keeps its separator as a folder. Also on Linux: the engine's Windows half relies on it.
TEST(WindowsPath, SplitsBelowDriveShareAndVolumeRoots)
{
    struct Case
    {
        const char* path;
        std::size_t root;
        const char* folder; // null: no name to split off
        const char* name;
    };
    const Case cases[] = {
        {"C:\\", 3, nullptr, nullptr},
        {"C:\\x", 3, "C:\\", "x"},
        {"c:/a/b", 3, "c:/a", "b"},
        {"C:\\a\\", 3, nullptr, nullptr},
        {"\\x", 0, "\\", "x"},
        {"\\\\server\\share", 14, nullptr, nullptr},
        {"\\\\server\\share\\", 15, nullptr, nullptr},
        {"\\\\server\\share\\x", 15, "\\\\server\\share\\", "x"},
        {"\\\\server\\share\\d\\x", 15, "\\\\server\\share\\d", "x"},
        {"//server/share/x", 15, "//server/share/", "x"},
        {"\\\\server", 0, nullptr, nullptr},
        {"\\\\server\\", 0, nullptr, nullptr},
        {"\\\\?\\C:\\", 7, nullptr, nullptr},
        {"\\\\?\\C:\\x", 7, "\\\\?\\C:\\", "x"},
        {"\\\\?\\UNC\\server\\share\\", 21, nullptr, nullptr},
        {"\\\\?\\unc\\server\\share\\x", 21, "\\\\?\\unc\\server\\share\\", "x"},
        {"\\\\?\\UNC\\server", 0, nullptr, nullptr},
        {"\\\\?\\Volume{0b1d7a7e-0000-0000-0000-100000000000}\\", 49, nullptr, nullptr},
        {"\\\\?\\Volume{0b1d7a7e-0000-0000-0000-100000000000}\\d\\x", 49,
         "\\\\?\\Volume{0b1d7a7e-0000-0000-0000-100000000000}\\d", "x"},
        {"\\\\?\\Volume{0b1d7a7e-0000-0000-0000-100000000000}", 48, nullptr, nullptr},
        {"\\\\.\\C:\\x", 7, "\\\\.\\C:\\", "x"},
        {"relative\\x", 0, "relative", "x"},
    };
    for (const Case& test : cases)
    {
        SCOPED_TRACE(test.path);
        EXPECT_EQ(WindowsRootLength(std::string(test.path)), test.root);
        const std::string narrow = test.path;
        EXPECT_EQ(WindowsRootLength(std::wstring(narrow.begin(), narrow.end())), test.root);
        std::string folder;
        std::string name;
        ASSERT_EQ(SplitWindowsPath(test.path, folder, name), test.folder != nullptr);
        if (test.folder)
        {
            EXPECT_EQ(folder, test.folder);
            EXPECT_EQ(name, test.name);
        }
    }
}
