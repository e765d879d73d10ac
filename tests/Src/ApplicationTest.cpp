#include "Installation.h"
#include "Matchers.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>

using CorvaneTest::Installation;
using CorvaneTest::MatchesRegex;
using CorvaneTest::WithoutDuration;
using testing::HasSubstr;
using testing::StartsWith;

namespace
{
const char* const durationLine = "Request duration: [0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]{6})?\n";
} // namespace

TEST(Application, NoOptionsPrintsOnlyTheDuration)
{
    Installation installation;
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"--quarantine"}, {"--scan-archives", "--delete"}, {"a bare word"}})
    {
        const auto result = installation.Run(arguments);
        EXPECT_THAT(result.output, MatchesRegex(durationLine));
    }
}

TEST(Application, HelpPrintsTheOptionsDescriptionOnly)
{
    Installation installation;
    const auto result = installation.Run({"--help", "--quick", "--product-info"});
    EXPECT_THAT(result.output,
                StartsWith("Allowed options:\n  --help                    Print help\n"));
    EXPECT_THAT(result.output,
                HasSubstr("  --custom <file or folder> e.g. --custom \"c:\\folder name\" or "
                          "\"c:\\folder \n                            name\\file name.ext\"\n"));
    EXPECT_THAT(WithoutDuration(result.output),
                testing::EndsWith("  --scan-archives           Scan archives\n"));
    EXPECT_THAT(result.output, testing::Not(HasSubstr("Product Info")));
}

TEST(Application, ProductInfoWinsOverLaterJobs)
{
    Installation installation;
    const auto result = installation.Run({"--updatedefs", "--product-info", "--quick"});
    EXPECT_EQ(WithoutDuration(result.output), "Product Info:\n"
                                              "  Name: Corvane command line scanner\n"
                                              "  Version: 12.7.1093.0\n"
                                              "  Language: English\n");
}

TEST(Application, BadCommandLinePrintsMessageHelpAndDuration)
{
    Installation installation;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--Quick"}, "unrecognised option '--Quick'"},
        {{"--qu"}, "option '--qu' is ambiguous and matches '--quarantine', and '--quick'"},
        {{"--quick", "--quick"}, "option '--quick' cannot be specified more than once"},
        {{"--custom", "a", "--custom", "b"},
         "option '--custom' cannot be specified more than once"},
        {{"--custom"}, "the required argument for option '--custom' is missing"},
        {{"--quick=yes"}, "option '--quick' does not take any arguments"},
        // The argument is quoted as printable text: no escape sequence or line break of its
        // own reaches the terminal.
        {{"--x\x1b[2J\ny\xc2\x9b"},
         "unrecognised option '--x\xEF\xBF\xBD[2J\xEF\xBF\xBDy\xEF\xBF\xBD'"},
    };
    for (const auto& [arguments, message] : cases)
    {
        const auto result = installation.Run(arguments);
        EXPECT_THAT(result.output, StartsWith(message + "\nAllowed options:\n"));
        const std::size_t lastLine = result.output.rfind("Request duration: ");
        ASSERT_NE(lastLine, std::string::npos);
        EXPECT_THAT(result.output.substr(0, lastLine), testing::EndsWith("Scan archives\n"));
        EXPECT_THAT(result.output.substr(lastLine), MatchesRegex(durationLine));
        // A bad command line is found before the settings or the log are looked at.
        EXPECT_FALSE(boost::filesystem::exists(installation.Folder() / "Logs"));
    }
}
