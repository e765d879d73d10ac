#include "ComponentsServer.h"
#include "Installation.h"
#ifdef _WIN32
#include "WindowsFixtures.h"
#else
#include "ProductRecords.h"
#include <sys/stat.h>
#endif

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <regex>

using CorvaneTest::ComponentsServer;
using CorvaneTest::Installation;
using CorvaneTest::Reply;
using testing::HasSubstr;

namespace
{
const char* const checking = "Checking for application update...\n";
const char* const latest = "You have the latest version\n";
const char* const newVersion = "New version is available for downloading. Url: ";

// The loopback build of the program in an installation of its own, and a components service
// on the port that build asks.
class UpdateCheck : public testing::Test
{
protected:
    // Runs --updateapp against a server that answers every request with the reply; returns
    // the console output without the duration line.
    std::string Run(const Reply& reply)
    {
        server.emplace(std::vector<Reply>{reply}, CORVANE_TEST_SERVICE_PORT);
        return CorvaneTest::WithoutDuration(installation.Run({"--updateapp"}).output);
    }

    // The text of a request element of the last request; "" for an empty element.
    std::string Sent(const std::string& name) const
    {
        const auto requests = server->Requests();
        if (requests.empty())
            return "(no request)";
        const std::string& body = requests.back().body;
        if (body.find("<tempuri:" + name + "/>") != std::string::npos)
            return "";
        std::smatch match;
        if (std::regex_search(body, match,
                              std::regex("<tempuri:" + name + ">([^<]*)</tempuri:" + name + ">")))
            return match[1];
        return "(missing)";
    }

    std::string LogText() const
    {
        std::string text;
        const auto logs = installation.Folder() / "Logs";
        if (boost::filesystem::exists(logs))
            for (const auto& entry : boost::filesystem::directory_iterator(logs))
                text += CorvaneTest::ReadTextFile(entry.path());
        return text;
    }

    void WriteUpdateServerFile(const std::string& content) const
    {
        const auto folder =
            installation.ProgramData() / "Corvane" / "Corvane antivirus" / "Options";
        boost::filesystem::create_directories(folder);
        std::ofstream((folder / "UpdateServer.txt").string(), std::ios::binary) << content;
    }

    Installation installation{CORVANE_LOOPBACK_PROGRAM};
    std::optional<ComponentsServer> server;
};
} // namespace

TEST_F(UpdateCheck, ComparesTheServerVersionWithTheBuiltInOne)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        {"12.7.1093.0", false}, {"12,7,1093,0", false}, {"12.7.1092.9999", false},
        {"abc", false},         {"12.7.1093.1", true},  {"12.8", true},
        {"13", true},
    };
    for (const auto& [version, newer] : cases)
    {
        // No release notes: still compared.
        const std::string output = Run(Reply::Component(version, "http://corvane.example/s.exe",
                                                        "CorvaneCommandLineScanner", ""));
        EXPECT_EQ(output,
                  std::string(checking) +
                      (newer ? std::string(newVersion) + "http://corvane.example/s.exe\n" : latest))
            << version;
    }
}

TEST_F(UpdateCheck, DownloadUrlNamesTheCurrentDomain)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"http://tellmark.example/get/tellmark.example/setup.exe?a=1&amp;b=2",
         "http://corvane.example/get/corvane.example/setup.exe?a=1&b=2"},
        {"https://download.tellmark.example.tellmark.example/x",
         "https://download.corvane.example.corvane.example/x"},
        {"http://other.example/Tellmark.Example/setup.exe",
         "http://other.example/Tellmark.Example/setup.exe"},
        // The service's text cannot add a line or reach the terminal as a control sequence.
        {"http://tellmark.example/a&#10;Couldn't get server version info&#13;\x7f\xc2\x9b"
         "2J\tb",
         "http://corvane.example/a\xef\xbf\xbd"
         "Couldn't get server version "
         "info\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
         "2J\tb"},
    };
    for (const auto& [sent, shown] : cases)
        EXPECT_EQ(Run(Reply::Component("13.0", sent)),
                  std::string(checking) + newVersion + shown + "\n");
}

TEST_F(UpdateCheck, UnusableReplyPrintsTheFailureLine)
{
    for (const Reply& reply :
         {Reply::NoResult(), Reply::Component("", "http://u/"), Reply::Component("13.0", "")})
    {
        EXPECT_EQ(Run(reply), std::string(checking) + "Couldn't get server version info\n");
        EXPECT_EQ(server->Requests().size(), 1u);
    }
    // Failures on the way are tried three times, then end the same.
    for (const Reply& reply : {Reply::Dropped(), Reply::HttpError(503)})
    {
        EXPECT_EQ(Run(reply), std::string(checking) + "Couldn't get server version info\n");
        EXPECT_EQ(server->Requests().size(), 3u);
    }
}

TEST_F(UpdateCheck, SendsTheFixedValuesAndNoInstalledVersionWithoutAProduct)
{
    Run(Reply::Component("1.0", "u"));
    EXPECT_EQ(Sent("ComponentId"), "CorvaneCommandLineScanner");
    EXPECT_EQ(Sent("OsPlatfrom"), "x64");
    EXPECT_EQ(Sent("DeployPlatfrom"), "prod");
    EXPECT_EQ(Sent("OsType"), CorvaneTest::ThisSystemOsType());
    EXPECT_EQ(Sent("InstalledVersion"), "");
    EXPECT_EQ(Sent("RequiredVersion"), "");
    EXPECT_EQ(Sent("Partner"), "");
    // The machine UUID when this machine lets it be read, else empty.
    EXPECT_TRUE(std::regex_match(Sent("UserId"),
                                 std::regex("([0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12})?")));
    EXPECT_THAT(LogText(), HasSubstr("Info: deploy platform from file=\n"));
}

TEST_F(UpdateCheck, DeployPlatformComesFromTheSettingsFile)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        // file content, platform sent (the log line shows it, or nothing for "prod")
        {R"({"platform": "beta", "other": 1})", "beta"},
        {R"({"platform": ""})", "prod"},
        {R"({"platform": 7})", "prod"},
        {R"(["beta"])", "prod"},
    };
    for (const auto& [content, sent] : cases)
    {
        WriteUpdateServerFile(content);
        Run(Reply::Component("1.0", "u"));
        EXPECT_EQ(Sent("DeployPlatfrom"), sent) << content;
        const std::string logged = sent == "prod" ? "" : sent;
        EXPECT_THAT(LogText(), HasSubstr("Info: deploy platform from file=" + logged + "\n"))
            << content;
    }
#ifndef _WIN32
    // A FIFO in its place is not waited for: the check goes on with the default.
    const auto file = installation.ProgramData() / "Corvane" / "Corvane antivirus" / "Options" /
                      "UpdateServer.txt";
    boost::filesystem::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_EQ(Run(Reply::Component("1.0", "u")), std::string(checking) + latest);
    EXPECT_EQ(Sent("DeployPlatfrom"), "prod");
#endif
}

#ifndef _WIN32
namespace
{
// The Linux stand-in of the installed-products database: a record file in the installation's
// all-users data folder.
void RegisterInstalledVersion(const Installation& installation, const std::wstring& name,
                              const std::wstring& version)
{
    const CorvaneTest::ProgramDataRedirection redirection(installation.ProgramData());
    CorvaneTest::RegisterProduct(L"{6E1D3C52-8B0F-4F5A-9C3E-2A7B41D09F63}",
                                 {{L"ProductName", name}, {L"VersionString", version}});
}
} // namespace

TEST_F(UpdateCheck, InstalledVersionHasFourParts)
{
    const std::vector<std::pair<std::wstring, std::string>> cases = {
        {L"12.7.1093", "12.7.1093.0"},
        {L"12,6", "12.6.0.0"},
        {L"", "0.0.0.0"},
        {L"unknown", "0.0.0.0"},
    };
    for (const auto& [version, sent] : cases)
    {
        RegisterInstalledVersion(installation, L"CorvaneCommandLineScanner", version);
        Run(Reply::Component("1.0", "u"));
        EXPECT_EQ(Sent("InstalledVersion"), sent);
    }
    RegisterInstalledVersion(installation, L"corvanecommandlinescanner", L"12.7.1093");
    Run(Reply::Component("1.0", "u"));
    EXPECT_EQ(Sent("InstalledVersion"), "");
}
#else
TEST_F(UpdateCheck, InstalledVersionComesFromTheInstalledProduct)
{
    {
        const CorvaneTest::Windows::InstalledProduct product(CORVANE_TEST_PRODUCT_MSI);
        Run(Reply::Component("1.0", "u"));
        EXPECT_EQ(Sent("InstalledVersion"), "12.7.1093.0");
    }
    // A product whose name differs only in letter case is not ours.
    const CorvaneTest::Windows::InstalledProduct lowerCase(CORVANE_TEST_LOWER_CASE_PRODUCT_MSI);
    Run(Reply::Component("1.0", "u"));
    EXPECT_EQ(Sent("InstalledVersion"), "");
}
#endif
