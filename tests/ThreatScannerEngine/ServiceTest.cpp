// The engine service against what clients and the definitions may do to it: hostile peers,
// clients that vanish or stall, two at once, the service ending mid-scan, a definitions switch
// while files are being scanned or an update moves sets, an update's set that the service loads
// once, and an installation whose definitions move to the machine's folder.
#include "EngineHarness.h"

#include "FileSystemHelper/HeldFile.h"
#include "Installation.h"
#include "ScanProtocol/Channel.h"
#include "UpdateServiceHarness.h"

#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <thread>

namespace
{
using namespace EngineTest;
using namespace std::chrono_literals;
using ScanProtocol::Channel;
using ScanProtocol::Message;
using ScanProtocol::Outcome;

// How a connection that sent the bytes ends: what the service answered, or how it closed. The
// bytes go as frames go on the platform's connection (see OnTheWire), unless raw.
std::string Answer(const EngineService& service, const std::string& bytes, bool greet,
                   bool raw = false)
{
    Channel channel = greet ? Greeted(service) : Channel(service.Connect());
    if (channel.SendRaw(raw ? bytes : OnTheWire(bytes)) != Outcome::Ok)
        return "not sent";
    Message reply;
    switch (channel.Receive(reply, nullptr, 15s))
    {
    case Outcome::Ok:
        if (const auto* refused = std::get_if<ScanProtocol::Refused>(&reply))
            return "refused " + std::to_string(refused->code);
        return "answered";
    case Outcome::Closed:
    case Outcome::Failed:
        return "closed";
    default:
        return "no answer";
    }
}

// Runs the service's own switch command against the service; its exit status (a sanitizer
// report fails the test).
int SwitchCommand(const EngineService& service)
{
    return CorvaneTest::RunProgram(ENGINE_SERVICE_PATH, {"--switch", service.Socket().string()})
        .exitCode;
}

std::string Frame(const Message& message)
{
    const std::string body = ScanProtocol::Encode(message);
    return ScanProtocol::LengthPrefix(body.size()) + body;
}

TEST(EngineService, HostilePeersAreRefusedAndCostOtherClientsNothing)
{
    EngineInstallation installation(false, true);
    const EngineService& service = *installation.Service();
    WriteFile(installation.Data() / "eicar.com", TestVirus());
    WriteFile(installation.Data() / "clean.txt", "nothing to see");

    // A client that stalls half-way through a frame holds nobody else up.
    Channel stalled = Greeted(service);
    ASSERT_EQ(stalled.SendRaw(std::string("\x10\x00", 2)), Outcome::Ok);

    const std::string refusedNotSupported =
        "refused " + std::to_string(ThreatScanner::NotSupported);
    const struct
    {
        const char* what;
        std::string bytes;
        bool greet;
        std::string answer;
    } cases[] = {
        {"text instead of frames", "GET / HTTP/1.0\r\n\r\n", false, "closed"},
        {"a frame over the cap", std::string("\xff\xff\xff\x7f", 4) + "x", false, "closed"},
        {"an empty frame", std::string(4, '\0'), false, "closed"},
        {"another protocol version", Frame(ScanProtocol::Hello{2}), false, refusedNotSupported},
        {"a request before the greeting", Frame(ScanProtocol::InfoRequest{}), false,
         refusedNotSupported},
        {"a reply sent to the service", Frame(ScanProtocol::HelloReply{}), true,
         refusedNotSupported},
        {"an unknown message type", ScanProtocol::LengthPrefix(1) + "\x7f", true, "closed"},
        {"a scan without a descriptor", Frame(ScanProtocol::ScanRequest{true}), true,
         "refused " + std::to_string(ThreatScanner::InvalidArgument)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Answer(service, c.bytes, c.greet), c.answer) << c.what;

    // Only regular files are read: a pipe that never ends is refused at once (on Windows the
    // connection ends: its handle is refused as it comes in).
    {
        Channel channel = Greeted(service);
        ScanProtocol::OwnedDescriptor writer;
        const ScanProtocol::OwnedDescriptor reader = EndlessPipe(writer);
        Message reply;
        ASSERT_EQ(channel.Send(ScanProtocol::ScanRequest{true}, reader.Get()), Outcome::Ok);
        const Outcome answered = channel.Receive(reply, nullptr, 10s);
        EXPECT_THAT(answered, testing::AnyOf(Outcome::Ok, Outcome::Closed, Outcome::Failed));
        if (answered == Outcome::Ok)
        {
            EXPECT_TRUE(std::holds_alternative<ScanProtocol::Refused>(reply));
        }
    }

    // A handle value the client never passed may name one of the service's own: every value a
    // forged frame names is refused and closes nothing of the service's (it still scans, reports
    // and ends cleanly below).
    for (std::uint64_t value : ForgedHandleValues())
    {
        std::string frame = Frame(ScanProtocol::ScanRequest{true});
        for (int i = 0; i < 8; ++i)
            frame.insert(frame.begin() + i, static_cast<char>((value >> (8 * i)) & 0xFF));
        EXPECT_THAT(Answer(service, frame, true, true),
                    testing::AnyOf("closed", testing::StartsWith("refused")))
            << "handle " << value;
    }

    // A client that goes away right after asking for a scan: the service goes on serving.
    for (int i = 0; i < 5; ++i)
    {
        Channel leaving = Greeted(service);
        const ScanProtocol::OwnedDescriptor fd = OpenToPass(installation.Data() / "eicar.com");
        ASSERT_EQ(leaving.Send(ScanProtocol::ScanRequest{true}, fd.Get()), Outcome::Ok);
    }

    // Two clients at once each get their own answers, while the stalled one still waits.
    std::map<int, std::vector<std::vector<std::string>>> answers;
    std::vector<std::thread> clients;
    for (int client = 0; client < 2; ++client)
    {
        answers[client];
        clients.emplace_back(
            [&, client]
            {
                Channel channel = Greeted(service);
                for (int i = 0; i < 20; ++i)
                    answers[client].push_back(ScanOver(
                        channel, installation.Data() / (i % 2 ? "clean.txt" : "eicar.com")));
            });
    }
    for (std::thread& client : clients)
        client.join();
    for (const auto& [client, found] : answers)
    {
        ASSERT_EQ(found.size(), 20u);
        for (std::size_t i = 0; i < found.size(); ++i)
            EXPECT_EQ(found[i].size(), i % 2 ? 0u : 1u) << "client " << client << " scan " << i;
    }
    // The clean file's content was scanned once and then answered from the cache.
    EXPECT_EQ(Stats(service).cacheEntries, KeepsCleanResults() ? 1u : 0u);
}

// Calls that the callback counts per object, and the service killed at the first detection.
struct KillingRecorder
{
    EngineService* service;
    std::map<std::wstring, std::vector<std::int32_t>> statuses;

    static void Callback(_ScanCbkParams* params, int* action, void* context)
    {
        auto* self = static_cast<KillingRecorder*>(context);
        self->statuses[params->objectPath].push_back(params->scanStatus);
        *action = ThreatScanner::ActionNone;
        if (self->statuses.size() == 1)
            self->service->Kill();
    }
};

TEST(EngineService, AServiceThatEndsMidScanFailsTheObjectsLeftWithoutAWait)
{
    EngineInstallation installation(false, true);
    for (int i = 0; i < 300; ++i)
        WriteFile(installation.Data() / ("file" + std::to_string(i) + ".com"), TestVirus());
    KillingRecorder recorder{installation.Service(), {}};
    CThreatScannerStruct* instance = nullptr;
    ASSERT_EQ(Engine().CreateInstance(&instance), 0);
    Engine().SetScanCallback2(instance, &KillingRecorder::Callback, &recorder);
    const auto start = std::chrono::steady_clock::now();
    const int result =
        Engine().ScanPath(instance, 0, Wide(installation.Data()).c_str(), ProcessId());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_NE(result, ThreatScanner::Success);
    // Every file is reported once: found before the service ended, or failed.
    ASSERT_EQ(recorder.statuses.size(), 300u);
    std::size_t failed = 0;
    for (const auto& [path, statuses] : recorder.statuses)
    {
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_THAT(statuses[0],
                    testing::AnyOf(ThreatScanner::StatusInfected, ThreatScanner::StatusScanFailed));
        failed += statuses[0] == ThreatScanner::StatusScanFailed;
    }
    EXPECT_GT(failed, 0u);
    EXPECT_EQ(Engine().DestroyInstance(instance), 0);
}

TEST(EngineService, ASwitchDuringAScanLeavesNoFileUnscannedAndABrokenSetIsRefused)
{
    EngineInstallation installation(false, true);
    for (int i = 0; i < 200; ++i)
        WriteFile(installation.Data() / ("file" + std::to_string(i) + ".com"), TestVirus());
    const std::string marker = "SWITCHED-DEFINITIONS-MARKER";
    std::string hex;
    for (const unsigned char byte : marker)
        hex += "0123456789abcdef"[byte >> 4] + std::string(1, "0123456789abcdef"[byte & 15]);
    WriteFile(installation.Data() / "marked.txt", marker);

    Recorder recorder;
    recorder.pauses = 4; // the first reports wait, so that the switch lands mid-scan
    int result = -1;
    std::thread scan([&] { result = installation.Scan(installation.Data(), recorder); });
    std::this_thread::sleep_for(300ms);
    WriteFile(installation.Folder() / "Plugins" / "switched.ndb",
              "Corvane.Test.Switched:0:*:" + hex + "\n");
    Channel control = Greeted(*installation.Service());
    Message reply;
    ASSERT_EQ(control.Send(ScanProtocol::SwitchRequest{}), Outcome::Ok);
    ASSERT_EQ(control.Receive(reply, nullptr, 60s), Outcome::Ok);
    ASSERT_TRUE(std::holds_alternative<ScanProtocol::SwitchReply>(reply));
    EXPECT_EQ(std::get<ScanProtocol::SwitchReply>(reply).result, 0);
    scan.join();
    // The administrator's switch command says whether the set it asked for serves.
    EXPECT_EQ(SwitchCommand(*installation.Service()), 0);
    EXPECT_EQ(result, ThreatScanner::Success);
    std::size_t infected = 0;
    for (const Report& report : recorder.reports)
        infected += report.scanStatus == ThreatScanner::StatusInfected &&
                    fs::path(report.objectPath).filename().wstring().rfind(L"file", 0) == 0;
    EXPECT_EQ(infected, 200u);

    // The new set serves now. A switch waits while an update moves sets in and out of the
    // folder's place (it holds the switch lock), then loads the set it finds.
    EXPECT_EQ(ScanOver(control, installation.Data() / "marked.txt"),
              std::vector<std::string>{"Corvane.Test.Switched.UNOFFICIAL"});
    {
        FileSystemHelper::HeldFile update;
        ASSERT_EQ(update.Lock(boost::filesystem::path(
                                  (installation.Folder() / "Plugins.switch.lock").native()),
                              FileSystemHelper::LockMode::Exclusive),
                  FileSystemHelper::LockResult::Locked);
        WriteFile(installation.Folder() / "Plugins" / "switched.ndb",
                  "Corvane.Test.Moved:0:*:" + hex + "\n");
        ASSERT_EQ(control.Send(ScanProtocol::SwitchRequest{}), Outcome::Ok);
        EXPECT_EQ(control.Receive(reply, nullptr, 1500ms), Outcome::TimedOut);
        update.Release();
        ASSERT_EQ(control.Receive(reply, nullptr, 60s), Outcome::Ok);
        ASSERT_TRUE(std::holds_alternative<ScanProtocol::SwitchReply>(reply));
        EXPECT_EQ(std::get<ScanProtocol::SwitchReply>(reply).result, 0);
    }
    EXPECT_EQ(ScanOver(control, installation.Data() / "marked.txt"),
              std::vector<std::string>{"Corvane.Test.Moved.UNOFFICIAL"});
    // A set that does not load is refused and the last one stays.
    WriteFile(installation.Folder() / "Plugins" / "broken.ndb", "not a signature\n");
    ASSERT_EQ(control.Send(ScanProtocol::SwitchRequest{}), Outcome::Ok);
    ASSERT_EQ(control.Receive(reply, nullptr, 60s), Outcome::Ok);
    EXPECT_NE(std::get<ScanProtocol::SwitchReply>(reply).result, 0);
    EXPECT_EQ(SwitchCommand(*installation.Service()), 1);
    EXPECT_EQ(ScanOver(control, installation.Data() / "marked.txt"),
              std::vector<std::string>{"Corvane.Test.Moved.UNOFFICIAL"});
    fs::remove(installation.Folder() / "Plugins" / "broken.ndb");
}

// The program's update with a service running: the service loads the new set once, for the
// update's check and for serving it, and the update installs only a set that it loaded.
TEST(EngineService, AnUpdateIsLoadedOnceByTheServiceAndARefusedSetIsNeverInstalled)
{
    using namespace UpdateLibraryTesting;
    ShippedInstallation shipped;
    const CorvaneTest::Installation& installation = shipped.installation;
    installation.Install(ShippedLibrary(), "UpdateServiceCom.dll");
    installation.Install(PublisherKeys().publicKey, "UpdateServiceCom.pub");
    EngineService service(installation.Folder() / "Plugins", installation.Folder().parent_path());
    DefinitionsServer server;
    installation.WriteFile("config.ini", "definitions_server=" + server.BaseUrl() +
                                             "\nengine_service=" + service.Socket().string() +
                                             "\n");
    WriteFile(shipped.Data() / "later.txt", "corvane:later threat");
    const std::string later = (shipped.Data() / "later.txt").string();
    const auto run = [&](const std::vector<std::string>& arguments)
    {
        const CorvaneTest::RunResult result = installation.Run(arguments);
        EXPECT_EQ(result.error, "");
        return result.output;
    };
    const std::string installed = ReadFile(installation.Folder() / "Plugins" / "update.txt");
    Files release;
    for (const char* name : {"corvane-starter.ndb", "corvane-starter.hdb", "corvane-starter.ldb"})
        release[name] = ReadFile(installation.Folder() / "Plugins" / name);
    ASSERT_EQ(Stats(service).loads, 1u);

    Files broken = release;
    broken["broken.ndb"] = "not a signature\n";
    server.PublishUnchecked(broken, "2024.6.2", 1, PublisherKeys().privateKey);
    EXPECT_THAT(run({"--updatedefs"}), testing::HasSubstr("Couldn't perform install. Error: 16"));
    EXPECT_EQ(ReadFile(installation.Folder() / "Plugins" / "update.txt"), installed);
    EXPECT_FALSE(fs::exists(installation.Folder() / "Plugins" / "broken.ndb"));
    EXPECT_EQ(Stats(service).loads, 2u);
    EXPECT_EQ(Stats(service).switches, 0u);

    release["later.ndb"] = Signatures("later threat");
    server.Publish(release, "2024.6.3", 2, PublisherKeys().privateKey);
    EXPECT_THAT(run({"--custom", later}), testing::Not(testing::HasSubstr("Object Path: ")));
    EXPECT_THAT(run({"--updatedefs"}), testing::HasSubstr("Applying definitions done\n"));
    EXPECT_EQ(ReadFile(installation.Folder() / "Plugins" / "update.txt"), "Version: 2024.6.3\n");
    const ScanProtocol::StatsReply updated = Stats(service);
    EXPECT_EQ(updated.loads, 3u);
    EXPECT_EQ(updated.switches, 1u);
    // The new set serves the program's scans.
    EXPECT_THAT(run({"--custom", later}), testing::HasSubstr("Object Path: " + later + ". "));
    EXPECT_EQ(Stats(service).scans, updated.scans + 1);
    EXPECT_THAT(run({"--definitions-info"}), testing::HasSubstr("2024.6.3"));
    // A folder that cannot take the definitions folder's place (it is not beside it) is not
    // loaded: the update checks such a set itself. Nothing of a set the service read stays in
    // its temporary folder.
    {
        Channel channel = Greeted(service);
        const ScanProtocol::OwnedDescriptor folder = OpenFolderToPass(shipped.Data());
        Message reply;
        ASSERT_EQ(channel.Send(ScanProtocol::LoadRequest{}, folder.Get()), Outcome::Ok);
        ASSERT_EQ(channel.Receive(reply, nullptr, 60s), Outcome::Ok);
        ASSERT_TRUE(std::holds_alternative<ScanProtocol::Refused>(reply));
        EXPECT_EQ(std::get<ScanProtocol::Refused>(reply).code, ThreatScanner::NotSupported);
    }
    EXPECT_EQ(Stats(service).loads, 3u);
    const fs::path temp = service.State() / "Temp";
    EXPECT_TRUE(!fs::exists(temp) || fs::is_empty(temp));

    // A service that holds another folder's set (the starter set here) is not asked: the program
    // loads its own definitions.
    const fs::path other = installation.Folder().parent_path() / "Other";
    fs::create_directories(other / "Plugins");
    for (const char* name : {"corvane-starter.ndb", "corvane-starter.hdb", "corvane-starter.ldb"})
        fs::copy_file(installation.Folder() / "Plugins" / name, other / "Plugins" / name);
    EngineService elsewhere(other / "Plugins", other);
    installation.WriteFile("config.ini", "engine_service=" + elsewhere.Socket().string() + "\n");
    EXPECT_THAT(run({"--custom", later}), testing::HasSubstr("Object Path: " + later + ". "));
    EXPECT_EQ(Stats(elsewhere).scans, 0u);
}
} // namespace

namespace
{
// The service of an installation for every user, started on its program folder, serves the
// definitions where the installation's rule puts them: the starter set beside the executable
// until the machine's set is placed, then the machine's. An update switches it before the program
// asks which folder it serves. A set placed without a switch is never served by the starter set
// in its stead: the first run after it loads the engine itself, and the service follows.
TEST(EngineService, TheServiceOfAnInstallationFollowsItsDefinitionsToTheMachinesFolder)
{
    using namespace UpdateLibraryTesting;
    for (const bool byUpdate : {true, false})
    {
        SCOPED_TRACE(byUpdate ? "placed by an update" : "placed without a switch");
        ShippedInstallation shipped;
        const CorvaneTest::Installation& installation = shipped.installation;
        installation.WriteFile("installation.ini", "scope=machine\n");
        installation.Install(ShippedLibrary(), "UpdateServiceCom.dll");
        installation.Install(PublisherKeys().publicKey, "UpdateServiceCom.pub");
        std::map<std::string, std::string> environment;
#ifndef _WIN32
        const CorvaneTest::TemporaryFolder user;
        environment["XDG_STATE_HOME"] = user.Path().string();
#endif
        const fs::path machine = installation.ProgramData() / "Corvane" / "Corvane antivirus";
        std::optional<EngineService> started;
        {
            const CorvaneTest::ProgramDataRedirection redirection(installation.ProgramData());
            started.emplace(installation.Folder(), installation.Folder().parent_path(),
                            "--installation");
        }
        const EngineService& service = *started;
        DefinitionsServer server;
        installation.WriteFile("config.ini", "definitions_server=" + server.BaseUrl() +
                                                 "\nengine_service=" + service.Socket().string() +
                                                 "\n");
        WriteFile(shipped.Data() / "later.txt", "corvane:later threat");
        const std::string later = (shipped.Data() / "later.txt").string();
        const auto run = [&](const std::vector<std::string>& arguments)
        { return installation.Run(arguments, environment).output; };
        const auto found = testing::HasSubstr("Object Path: " + later + ". ");

        EXPECT_THAT(run({"--custom", later}), testing::Not(found));
        EXPECT_EQ(Stats(service).scans, 1u);

        Files release;
        for (const char* name :
             {"corvane-starter.ndb", "corvane-starter.hdb", "corvane-starter.ldb"})
            release[name] = ReadFile(installation.Folder() / "Plugins" / name);
        release["later.ndb"] = Signatures("later threat");
        if (byUpdate)
        {
            server.Publish(release, "7", 1, PublisherKeys().privateKey);
            EXPECT_THAT(run({"--updatedefs"}), testing::HasSubstr("Applying definitions done\n"));
            EXPECT_EQ(Stats(service).switches, 1u);
        }
        else
        {
            // As an update places it: a new folder renamed into place.
            const fs::path placed = machine / "Plugins.new";
            fs::create_directories(placed);
            for (const auto& [name, content] : release)
                WriteFile(placed / name, content);
            WriteFile(placed / "update.txt", "Version: 7\n");
            fs::rename(placed, machine / "Plugins");
            EXPECT_THAT(run({"--custom", later}), found);
            EXPECT_EQ(Stats(service).scans, 1u);
            const auto deadline = std::chrono::steady_clock::now() + 60s;
            while (Stats(service).switches == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(20ms);
        }
        EXPECT_THAT(run({"--custom", later}), found);
        EXPECT_EQ(Stats(service).scans, 2u);
        // The description comes from the set the service holds, not from the folder as it is.
        WriteFile(machine / "Plugins" / "update.txt", "Version: 8\n");
        const std::string information = run({"--definitions-info"});
        EXPECT_THAT(information, testing::HasSubstr("\tDatabase version: 7\n"));
        EXPECT_THAT(information, testing::HasSubstr("\tVersion: 8\n"));
    }
}

TEST(EngineService, NamesEitherItsDefinitionsOrItsInstallation)
{
    const CorvaneTest::TemporaryFolder folder;
    const std::string state = (folder.Path() / "state").string();
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--definitions", folder.Path().string(), "--installation", folder.Path().string(),
              "--state", state},
             {"--state", state},
             {"--installation", folder.Path().string()}})
    {
        const CorvaneTest::RunResult result =
            CorvaneTest::RunProgram(ENGINE_SERVICE_PATH, arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_THAT(result.error, testing::HasSubstr("Usage: CorvaneEngineService"));
    }
}
} // namespace
