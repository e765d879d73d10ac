#include "ConsoleHelper/Console.h"
#include "Installation.h"

#include <gtest/gtest.h>
#include <iostream>
#include <sstream>

// Captures standard output for the life of the object.
class ConsoleTest : public testing::Test
{
protected:
    ConsoleTest() : previous(std::cout.rdbuf(captured.rdbuf())) {}
    ~ConsoleTest() override { std::cout.rdbuf(previous); }

    std::ostringstream captured;
    std::streambuf* previous;
};

TEST_F(ConsoleTest, NarrowAndWideTextKeepTheirOrder)
{
    ConsoleHelper::Out() << "Definitions Info:\n";
    ConsoleHelper::WideOut() << L"\tDatabase release date: 2024 \u00e9t\u00e9" << std::endl;
    ConsoleHelper::Out() << "\tVersion: " << 7 << "\n";
    EXPECT_EQ(captured.str(), "Definitions Info:\n\tDatabase release date: 2024 \xc3\xa9t\xc3\xa9\n"
                              "\tVersion: 7\n");
}

TEST_F(ConsoleTest, FormattedPercentSMeansAWideString)
{
    const wchar_t* nothing = nullptr;
    ConsoleHelper::Print(L"Object Path: %s. Parent Containers: %s. Inner Object: %s\n",
                         L"/data/\u4e2d.zip", nothing, L"");
    ConsoleHelper::Print(L"%d%% %5s|%-3s|%c\n", 42, L"ab", L"c", L'\u00e9');
    EXPECT_EQ(captured.str(), "Object Path: /data/\xe4\xb8\xad.zip. Parent Containers: (null). "
                              "Inner Object: \n42%    ab|c  |\xc3\xa9\n");
}

// A value cannot start a line or send the terminal a control sequence: controls other than tab,
// DEL, C1 controls and lone surrogates show as U+FFFD; the format's own line ends stay.
TEST_F(ConsoleTest, SubstitutedTextCannotBreakTheLineOrControlTheTerminal)
{
    ConsoleHelper::Print(L"Object Path: %s|%c|%3s\n",
                         L"a\nb\x1b]0;t\x07\x7f\x85\xD800z\tq\u00e9\U0001F600", L'\x1b', L"\r");
    const std::string bad = "\xef\xbf\xbd";
    EXPECT_EQ(captured.str(), "Object Path: a" + bad + "b" + bad + "]0;t" + bad + bad + bad + bad +
                                  "z\tq\xc3\xa9\xf0\x9f\x98\x80|" + bad + "|  " + bad + "\n");
}

TEST_F(ConsoleTest, LongFormattedTextIsNotCut)
{
    const std::wstring path(5000, L'a');
    ConsoleHelper::Print(L"You can access scan result here: %s\n", path.c_str());
    EXPECT_EQ(captured.str(), "You can access scan result here: " + std::string(5000, 'a') + "\n");
}

// Through a pipe the program's standard output holds the same bytes on every platform: narrow
// text unchanged, wide text as UTF-8, line feeds as written, everything in the order written.
TEST(ConsolePipe, TextArrivesInOrderAsUtf8Bytes)
{
    const CorvaneTest::RunResult result = CorvaneTest::RunProgram(CONSOLE_PRINTER_PATH, {});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output,
              "Scan started\n"
              "Object Path: C:\\data\\\xe4\xb8\xad\xc3\xa9.zip. Parent Containers: (null). "
              "Inner Object: \n"
              "\tDatabase release date: 2024 \xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80\n" +
                  std::string(5000, 'n') +
                  "|\xc3\xa9|\n42\n\nScan complete.Request duration: 00:00:07");
}

#ifdef _WIN32
// Wide characters are UTF-16 here: a character outside the basic plane written in two halves
// still becomes one UTF-8 sequence.
TEST_F(ConsoleTest, SurrogatePairWrittenInHalvesIsOneCharacter)
{
    const std::wstring face = L"\U0001F600";
    ASSERT_EQ(face.size(), 2u);
    ConsoleHelper::WideOut() << face[0];
    ConsoleHelper::WideOut() << face[1] << L'\n';
    ConsoleHelper::WideOut().flush();
    EXPECT_EQ(captured.str(), "\xf0\x9f\x98\x80\n");
}
#endif
