#include "ComponentsClient/ComponentLookup.h"

#include "ComponentsClient/MachineIdentity.h"
#include "ComponentsClient/ServiceProxy.h"
#include "ComponentsServer.h"
#include "Installation.h"
#include "TestBuildSettings.h"

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <regex>

using ComponentsClient::ServerComponent;
using CorvaneTest::ComponentsServer;
using CorvaneTest::Reply;
using testing::ElementsAre;
using testing::Pair;

namespace
{
struct Diagnostic
{
    int severity;
    std::wstring text; // the message after its "[UpdateService][...][line]: " prefix
};

// Collects the client's diagnostics for one test.
class Collector
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding>
{
public:
    void consume(const boost::log::record_view& record)
    {
        const auto severity = boost::log::extract<int>("Severity", record);
        const auto message = boost::log::extract<std::wstring>("Message", record);
        static const std::wregex prefix(
            L"\\[UpdateService\\]\\[UpdateService::Wrapper::GetComponent\\]\\[[0-9]+\\]: ");
        std::wsmatch match;
        const std::wstring text = message ? *message : L"";
        Diagnostic diagnostic{severity ? *severity : -1, text};
        if (std::regex_search(text, match, prefix) && match.position(0) == 0)
            diagnostic.text = match.suffix();
        else
            diagnostic.text = L"(no prefix) " + text;
        const std::lock_guard<std::mutex> lock(mutex);
        diagnostics.push_back(diagnostic);
    }

    std::vector<Diagnostic> Take()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return std::move(diagnostics);
    }

private:
    std::mutex mutex;
    std::vector<Diagnostic> diagnostics;
};

class ComponentLookupTest : public testing::Test
{
protected:
    using Sink = boost::log::sinks::synchronous_sink<Collector>;

    void SetUp() override { boost::log::core::get()->add_sink(sink); }
    void TearDown() override { boost::log::core::get()->remove_sink(sink); }

    // Asks the given server about the program, as the update check does.
    bool Ask(const ComponentsServer& server, ServerComponent& component,
             const std::wstring& installedVersion = L"12.7.1093.0")
    {
        CorvaneTest::componentsServiceUrl = server.Url();
        return ComponentsClient::ComponentLookup::GetComponent(L"CorvaneCommandLineScanner",
                                                               L"prod", L"x64", L"", L"",
                                                               installedVersion, {}, component);
    }

    // The diagnostics after the two that every call starts with.
    std::vector<std::pair<int, std::wstring>> LaterDiagnostics()
    {
        std::vector<std::pair<int, std::wstring>> later;
        const auto all = sink->locked_backend()->Take();
        for (std::size_t i = 2; i < all.size(); ++i)
            later.emplace_back(all[i].severity, all[i].text);
        return later;
    }

    boost::shared_ptr<Sink> sink = boost::make_shared<Sink>();
};
} // namespace

TEST_F(ComponentLookupTest, RequestCarriesEveryFieldAsSoap12)
{
    ComponentsServer server({Reply::Component("13.0", "http://x/y")});
    CorvaneTest::componentsServiceUrl = server.Url();
    ServerComponent component;
    // The identity the caller gives, not this machine's, reaches the request.
    const CorvaneCommandLineScanner::MachineIdentity machine{
        L"4C4C4544-0042-3510-8052-B4C04F4D3732", 27};
    ASSERT_TRUE(ComponentsClient::ComponentLookup::GetComponent(L"Id & <co>", L"b\u00e9ta", L"x64",
                                                                L"", L"", L"", machine, component));

    const auto all = sink->locked_backend()->Take();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0].severity, 2);
    EXPECT_EQ(all[0].text, L"getting server component. component id=Id & <co>. delpoy "
                           L"platform=b\u00e9ta. os platform=x64. partner=. required version=. "
                           L"installed application version=");
    EXPECT_EQ(all[1].severity, 2);
    EXPECT_EQ(all[1].text, L"os_type=27");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    const std::string action =
        "\"" + std::string(CorvaneTest::TestServiceNamespace) + "GetComponent\"";
    EXPECT_EQ(request.RequestLine(), "POST /components.asmx HTTP/1.1");
    EXPECT_THAT(
        request.Headers(),
        ElementsAre(Pair("Host", "127.0.0.1:" + std::to_string(server.Port())),
                    Pair("User-Agent", "gSOAP/2.8"),
                    Pair("Content-Type", "application/soap+xml; charset=utf-8; action=" + action),
                    Pair("Content-Length", std::to_string(request.body.size())),
                    Pair("Connection", "close"), Pair("SOAPAction", action)));

    const std::string namespaces = "xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
                                   "xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" "
                                   "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                                   "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
                                   "xmlns:tempuri=\"" +
                                   std::string(CorvaneTest::TestServiceNamespace) + "\"";
    EXPECT_EQ(
        request.body,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope " + namespaces +
            "><SOAP-ENV:Body><tempuri:GetComponent><tempuri:request>"
            "<tempuri:UserId>4C4C4544-0042-3510-8052-B4C04F4D3732</tempuri:UserId>"
            "<tempuri:ComponentId>Id &amp; &lt;co&gt;</tempuri:ComponentId>"
            "<tempuri:OsPlatfrom>x64</tempuri:OsPlatfrom>"
            "<tempuri:DeployPlatfrom>b\xc3\xa9ta</tempuri:DeployPlatfrom>"
            "<tempuri:RequiredVersion/>"
            "<tempuri:InstalledVersion/>"
            "<tempuri:OsType>27</tempuri:OsType>"
            "<tempuri:Partner/>"
            "</tempuri:request></tempuri:GetComponent></SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n");
}

TEST_F(ComponentLookupTest, ReadsEveryShapeOfACompleteResult)
{
    const std::vector<std::pair<const char*, Reply>> replies = {
        {"usual", Reply::Component("13.0", "http://x/y", "Scanner", "Fixes")},
        {"SOAP 1.1 envelope", Reply::Component({{"Id", "Scanner"},
                                                {"Notes", "Fixes"},
                                                {"Version", "13.0"},
                                                {"DownloadUrl", "http://x/y"}},
                                               true)},
        {"any order, unknown element, repeats", Reply::Component({{"DownloadUrl", "http://x/y"},
                                                                  {"Size", "12"},
                                                                  {"Version", "13.0"},
                                                                  {"Id", "Scanner"},
                                                                  {"Notes", "Fixes"},
                                                                  {"Id", "Second"},
                                                                  {"Version", "14"}})},
    };
    for (const auto& [what, reply] : replies)
    {
        ComponentsServer server({reply});
        ServerComponent component;
        EXPECT_TRUE(Ask(server, component)) << what;
        EXPECT_EQ(component.Id, L"Scanner") << what;
        EXPECT_EQ(component.Notes, L"Fixes") << what;
        EXPECT_EQ(component.Version, L"13.0") << what;
        EXPECT_EQ(component.DownloadUrl, L"http://x/y") << what;
        EXPECT_THAT(LaterDiagnostics(),
                    ElementsAre(Pair(2, L"server component is available. id=Scanner. "
                                        L"version=13.0. download url=http://x/y"),
                                Pair(1, L"notes=Fixes")))
            << what;
        EXPECT_EQ(server.Requests().size(), 1u) << what;
    }
}

TEST_F(ComponentLookupTest, MissingNotesStillSucceed)
{
    ComponentsServer server(
        {Reply::Component({{"Id", "Scanner"}, {"Version", "13.0"}, {"DownloadUrl", "u"}})});
    ServerComponent component{L"old", L"old", L"old", L"old"};
    EXPECT_TRUE(Ask(server, component));
    EXPECT_EQ(component.Notes, L"");
    EXPECT_THAT(LaterDiagnostics(),
                ElementsAre(Pair(2, L"no component notes. id=Scanner"),
                            Pair(2, L"server component is available. id=Scanner. version=13.0. "
                                    L"download url=u")));
}

TEST_F(ComponentLookupTest, IncompleteResultIsStoredButFails)
{
    struct Case
    {
        Reply reply;
        ServerComponent stored;
        std::vector<std::pair<int, std::wstring>> diagnostics;
    };
    const std::wstring available = L"server component is available. id=";
    const std::vector<Case> cases = {
        {Reply::Component("", "http://x/y", "Scanner", "Fixes"),
         {L"Scanner", L"Fixes", L"", L"http://x/y"},
         {{2, available + L"Scanner. version=. download url=http://x/y"}, {1, L"notes=Fixes"}}},
        {Reply::Component({{"Notes", ""}, {"Version", "13"}, {"DownloadUrl", "u"}}),
         {L"", L"", L"13", L"u"},
         {{4, L"no component id"}, {2, available + L". version=13. download url=u"}}},
        {Reply::Component(std::vector<std::pair<std::string, std::string>>{}),
         {},
         {{4, L"no component id"},
          {2, L"no component notes. id="},
          {4, L"no component version. id="},
          {4, L"no component download url. id="},
          {2, available + L". version=. download url="}}},
    };
    for (const auto& entry : cases)
    {
        ComponentsServer server({entry.reply});
        ServerComponent component{L"old", L"old", L"old", L"old"};
        EXPECT_FALSE(Ask(server, component));
        EXPECT_EQ(component.Id, entry.stored.Id);
        EXPECT_EQ(component.Notes, entry.stored.Notes);
        EXPECT_EQ(component.Version, entry.stored.Version);
        EXPECT_EQ(component.DownloadUrl, entry.stored.DownloadUrl);
        EXPECT_EQ(LaterDiagnostics(), entry.diagnostics);
        EXPECT_EQ(server.Requests().size(), 1u);
    }
}

TEST_F(ComponentLookupTest, MissingResultFailsAtOnceWithoutRetry)
{
    ComponentsServer server({Reply::NoResult(), Reply::Component("13", "u")});
    ServerComponent component{L"old", L"old", L"old", L"old"};
    EXPECT_FALSE(Ask(server, component));
    EXPECT_EQ(component.Id, L"old");
    EXPECT_TRUE(LaterDiagnostics().empty());
    EXPECT_EQ(server.Requests().size(), 1u);
}

// The tests below wait the two three-second pauses between attempts.
TEST_F(ComponentLookupTest, ThirdAttemptAfterAFaultAndADroppedConnectionSucceeds)
{
    ComponentsServer server({Reply::Fault(), Reply::Dropped(), Reply::Component("13.0", "u")});
    ServerComponent component;
    EXPECT_TRUE(Ask(server, component));
    EXPECT_EQ(component.Version, L"13.0");
    const auto later = LaterDiagnostics();
    ASSERT_EQ(later.size(), 4u);
    EXPECT_EQ(later[0],
              std::make_pair(4, std::wstring(L"get component failed. result=12. retries count=2")));
    EXPECT_EQ(later[1].first, 4);
    EXPECT_TRUE(std::regex_match(
        later[1].second,
        std::wregex(L"get component failed. result=-?[1-9][0-9]*. retries count=1")))
        << std::string(later[1].second.begin(), later[1].second.end());
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].body, requests[0].body);
    EXPECT_EQ(requests[2].body, requests[0].body);
}

TEST_F(ComponentLookupTest, ThreeFailuresIncludingAServerThatNeverAnswers)
{
    ComponentsServer server({Reply::Stalled(), Reply::HttpError(503), Reply::HttpError(404)});
    ServerComponent component{L"old", L"old", L"old", L"old"};
    EXPECT_FALSE(Ask(server, component));
    EXPECT_EQ(component.Version, L"old");
    const auto later = LaterDiagnostics();
    ASSERT_EQ(later.size(), 3u);
    EXPECT_TRUE(std::regex_match(
        later[0].second,
        std::wregex(L"get component failed. result=-?[1-9][0-9]*. retries count=2")));
    EXPECT_EQ(later[1], std::make_pair(
                            4, std::wstring(L"get component failed. result=503. retries count=1")));
    EXPECT_EQ(later[2], std::make_pair(
                            4, std::wstring(L"get component failed. result=404. retries count=0")));
    EXPECT_EQ(server.Requests().size(), 3u);
}

TEST_F(ComponentLookupTest, TricklingOrOversizedReplyIsAFailedAttempt)
{
    const std::string endlessNotes(4 << 20, 'n');
    ComponentsServer server(
        {Reply::Trickled(Reply::Component("13.0", "u")),
         Reply::Component("14.0", "u", "CorvaneCommandLineScanner", endlessNotes),
         Reply::Component("13.0", "u")});
    ServerComponent component;
    EXPECT_TRUE(Ask(server, component));
    EXPECT_EQ(component.Version, L"13.0");
    // Compared as a condition, so that a failure does not print megabytes of notes.
    EXPECT_TRUE(component.Notes == L"Release notes");
    const auto later = LaterDiagnostics();
    ASSERT_GE(later.size(), 2u);
    EXPECT_THAT(later[0].second, testing::StartsWith(L"get component failed. result="));
    EXPECT_THAT(later[0].second, testing::EndsWith(L". retries count=2"));
    EXPECT_THAT(later[1].second, testing::StartsWith(L"get component failed. result="));
    EXPECT_THAT(later[1].second, testing::EndsWith(L". retries count=1"));
    EXPECT_EQ(server.Requests().size(), 3u);
}

// Through a proxy the request names the whole URL; a proxy that asks for credentials or is not
// there fails the exchange like any server, and nothing of a sign-in is sent.
TEST_F(ComponentLookupTest, ExchangeThroughAProxy)
{
    std::uint16_t closedPort = 0;
    {
        const ComponentsServer gone({Reply::Dropped()});
        closedPort = gone.Port();
    }
    const struct
    {
        const char* name;
        std::optional<Reply> reply; // nothing: no proxy listens
        int result;                 // 0 or, for an HTTP status, the status; -1 any other failure
    } cases[] = {
        {"forwards", Reply::Component("13.0", "http://x/y"), 0},
        {"asks for credentials", Reply::HttpError(407), 407},
        {"is down", std::nullopt, -1},
    };
    for (const auto& test : cases)
    {
        std::optional<ComponentsServer> proxyServer;
        if (test.reply)
            proxyServer.emplace(std::vector<Reply>{*test.reply});
        CorvaneTest::componentsServiceUrl = "http://127.0.0.1:9/components.asmx";
        ComponentsClient::ServiceProxy proxy;
        proxy.soap_endpoint = "http://update.corvane.example/components.asmx";
        proxy.proxy_host = "127.0.0.1";
        proxy.proxy_port = proxyServer ? proxyServer->Port() : closedPort;
        using namespace ComponentsService;
        _tempuri__GetComponent* call = soap_new__tempuri__GetComponent(&proxy);
        _tempuri__GetComponentResponse* reply = soap_new__tempuri__GetComponentResponse(&proxy);
        ASSERT_TRUE(call && reply);
        call->request = soap_new_tempuri__GetComponentRequest(&proxy);
        const int result = proxy.GetComponent(
            nullptr, ComponentsClient::ServiceProxy::Action("GetComponent").c_str(), call, *reply);
        if (test.result >= 0)
            EXPECT_EQ(result, test.result) << test.name;
        else
            EXPECT_NE(result, 0) << test.name;
        if (!proxyServer)
            continue;
        const auto requests = proxyServer->Requests();
        ASSERT_EQ(requests.size(), 1u) << test.name;
        EXPECT_EQ(requests[0].RequestLine(),
                  "POST http://update.corvane.example/components.asmx HTTP/1.1")
            << test.name;
        for (const auto& [name, value] : requests[0].Headers())
            EXPECT_NE(name, "Proxy-Authorization") << test.name;
    }
}
