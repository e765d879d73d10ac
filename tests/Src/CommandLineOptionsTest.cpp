#include "CommandLineOptions.h"
#include "Application.h"

#include <gtest/gtest.h>

using CorvaneCommandLineScanner::BuildScanRequest;
using CorvaneCommandLineScanner::CommandLineOptions;
using CorvaneCommandLineScanner::InvalidCommandLine;
using CorvaneCommandLineScanner::ScanType;

namespace
{
CommandLineOptions Parse(std::vector<std::wstring> arguments)
{
    arguments.insert(arguments.begin(), L"/opt/corvane/CorvaneCommandLineScanner");
    return CommandLineOptions(arguments);
}

std::string ParseError(std::vector<std::wstring> arguments)
{
    try
    {
        Parse(std::move(arguments));
    }
    catch (const InvalidCommandLine& error)
    {
        EXPECT_EQ(error.HelpText().rfind("Allowed options:\n", 0), 0u);
        return error.Message();
    }
    return "no error";
}
} // namespace

TEST(CommandLineOptions, EmptyCommandLineSetsNothing)
{
    const auto options = Parse({});
    EXPECT_FALSE(options.Help() || options.UpdateDefs() || options.Quick() || options.Full() ||
                 options.Custom() || options.Boot() || options.ProductInfo() ||
                 options.DefinitionsInfo() || options.UpdateApp() || options.ScanResultStdout() ||
                 options.ScanArchives());
    EXPECT_EQ(options.Action(), 1);
    EXPECT_TRUE(options.CustomPaths().empty());
    EXPECT_TRUE(options.ScanResultPath().empty());
}

TEST(CommandLineOptions, UnambiguousPrefixesAreAcceptedAndNamesAreCaseSensitive)
{
    EXPECT_TRUE(Parse({L"--qui"}).Quick());
    EXPECT_TRUE(Parse({L"--definitions"}).DefinitionsInfo());
    EXPECT_EQ(ParseError({L"--qu"}),
              "option '--qu' is ambiguous and matches '--quarantine', and '--quick'");
    EXPECT_EQ(ParseError({L"--Quick"}), "unrecognised option '--Quick'");
    EXPECT_EQ(ParseError({L"--scan"}),
              "option '--scan' is ambiguous and matches "
              "'--scan-archives', '--scan-result', and '--scan-result-stdout'");
}

TEST(CommandLineOptions, ValuesAfterEqualsOrAsNextToken)
{
    EXPECT_EQ(Parse({L"--custom=c:\\x"}).CustomPaths(), std::vector<std::wstring>{L"c:\\x"});
    EXPECT_EQ(Parse({L"--custom", L"c:\\x"}).CustomPaths(), std::vector<std::wstring>{L"c:\\x"});
    EXPECT_EQ(Parse({L"--scan-result", L"/tmp/r.xml"}).ScanResultPath(), L"/tmp/r.xml");
    EXPECT_EQ(ParseError({L"--scan-result"}),
              "the required argument for option '--scan-result' is missing");
    EXPECT_EQ(ParseError({L"--boot=1"}), "option '--boot' does not take any arguments");
    // The parser's message quotes the token as typed, placeholders of its own message included.
    EXPECT_EQ(ParseError({L"--x%canonical_option%%value%"}),
              "unrecognised option '--x%canonical_option%%value%'");
    EXPECT_EQ(ParseError({L"--boot=%canonical_option%"}),
              "option '--boot' does not take any arguments");
}

// File names and arguments are bytes; a byte that is not UTF-8 arrives as U+DC80..U+DCFF. Such a
// token keeps every byte: it never names a shorter option, and a path keeps its odd bytes.
TEST(CommandLineOptions, TokensWithInvalidBytesAreNeverReadAsOtherTokens)
{
    const std::wstring ff(1, static_cast<wchar_t>(0xDCFF));
    const std::wstring fe(1, static_cast<wchar_t>(0xDCFE));
    EXPECT_EQ(ParseError({L"--quick" + ff}).rfind("unrecognised option '--quick", 0), 0u);
    EXPECT_EQ(ParseError({L"--" + ff}).rfind("unrecognised option '--", 0), 0u);
    EXPECT_EQ(Parse({L"--custom", L"/srv/a" + ff + L"b"}).CustomPaths(),
              std::vector<std::wstring>{L"/srv/a" + ff + L"b"});
    EXPECT_EQ(Parse({L"--custom=/a" + ff + L";/b" + fe}).CustomPaths(),
              (std::vector<std::wstring>{L"/a" + ff, L"/b" + fe}));
    EXPECT_EQ(Parse({L"--scan-result", L"out" + fe + L".xml"}).ScanResultPath(),
              L"out" + fe + L".xml");
    EXPECT_FALSE(Parse({L"--scan-result", L"--quick" + ff}).Quick());
}

TEST(CommandLineOptions, CustomPathsAreSplitAtSemicolonsAndTrimmed)
{
    using Paths = std::vector<std::wstring>;
    EXPECT_EQ(Parse({L"--custom", L"/a b; /c\t"}).CustomPaths(), (Paths{L"/a b", L"/c"}));
    EXPECT_EQ(Parse({L"--custom", L"/a;"}).CustomPaths(), (Paths{L"/a", L""}));
    EXPECT_EQ(Parse({L"--custom", L";"}).CustomPaths(), (Paths{L"", L""}));
    EXPECT_EQ(Parse({L"--custom", L"/a;;/b"}).CustomPaths(), (Paths{L"/a", L"", L"/b"}));
    EXPECT_EQ(Parse({L"--custom", L""}).CustomPaths(), Paths{});
}

TEST(CommandLineOptions, ActionByPrecedence)
{
    EXPECT_EQ(Parse({L"--quarantine", L"--delete", L"--disinfect"}).Action(), 7);
    EXPECT_EQ(Parse({L"--disinfect", L"--delete"}).Action(), 5);
    EXPECT_EQ(Parse({L"--disinfect"}).Action(), 3);
}

TEST(ScanRequest, TypeByPrecedenceAndCustomOnlySettings)
{
    auto request = BuildScanRequest(Parse({L"--boot", L"--full", L"--quick"}));
    EXPECT_EQ(request.scanType, ScanType::Quick);
    request = BuildScanRequest(Parse({L"--full", L"--custom", L"/a", L"--scan-archives"}));
    EXPECT_EQ(request.scanType, ScanType::Full);
    EXPECT_TRUE(request.paths.empty());
    EXPECT_TRUE(request.scanArchives);
    request = BuildScanRequest(Parse({L"--custom", L"/a;/b", L"--scan-result", L"/r"}));
    EXPECT_EQ(request.scanType, ScanType::Custom);
    EXPECT_EQ(request.paths, (std::vector<std::wstring>{L"/a", L"/b"}));
    EXPECT_FALSE(request.scanArchives);
    EXPECT_EQ(request.resultPath, L"/r");
    EXPECT_TRUE(BuildScanRequest(Parse({L"--custom", L"/a", L"--scan-archives"})).scanArchives);
    request = BuildScanRequest(Parse({L"--boot", L"--scan-archives", L"--quarantine"}));
    EXPECT_EQ(request.scanType, ScanType::Boot);
    EXPECT_EQ(request.action, ThreatScanner::ActionQuarMove);
}
