// The engine service against what clients and the definitions may do to it: hostile peers,
// clients that vanish or stall, two at once, the service ending mid-scan, and a definitions
// switch while files are being scanned.
#include "EngineHarness.h"

#include "ScanProtocol/Channel.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
using namespace EngineTest;
using namespace std::chrono_literals;
using ScanProtocol::Channel;
using ScanProtocol::Message;
using ScanProtocol::Outcome;

Channel Greeted(const EngineService& service)
{
    ScanProtocol::OwnedDescriptor socket =
        ScanProtocol::ConnectAndGreet(service.Socket().string(), 5s);
    if (socket.Get() < 0)
        throw std::runtime_error("the service did not greet");
    return Channel(std::move(socket));
}

// Scans a file over the channel; the threat names found, or "failed".
std::vector<std::string> ScanOver(Channel& channel, const fs::path& file)
{
    const ScanProtocol::OwnedDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    Message reply;
    if (channel.Send(ScanProtocol::ScanRequest{true}, fd.Get()) != Outcome::Ok ||
        channel.Receive(reply, nullptr, 60s) != Outcome::Ok ||
        !std::holds_alternative<ScanProtocol::ScanReply>(reply))
        return {"failed"};
    std::vector<std::string> names;
    for (const ScanProtocol::Detection& detection :
         std::get<ScanProtocol::ScanReply>(reply).detections)
        names.push_back(detection.threatName);
    return names;
}

// How a connection that sent the bytes ends: what the service answered, or how it closed.
std::string Answer(const EngineService& service, const std::string& bytes, bool greet)
{
    Channel channel =
        greet ? Greeted(service) : Channel(ScanProtocol::Connect(service.Socket().string()));
    if (channel.SendRaw(bytes) != Outcome::Ok)
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

// Runs the service's own switch command against the service; its exit status (-1 when it did not
// end by itself, so that a sanitizer's abort counts as a failure).
int SwitchCommand(const EngineService& service)
{
    const std::string command =
        std::string(ENGINE_SERVICE_PATH) + " --switch '" + service.Socket().string() + "' 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

    // Only regular files are read: a pipe that never ends is refused at once.
    {
        Channel channel = Greeted(service);
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        Message reply;
        ASSERT_EQ(channel.Send(ScanProtocol::ScanRequest{true}, ends[0]), Outcome::Ok);
        ASSERT_EQ(channel.Receive(reply, nullptr, 10s), Outcome::Ok);
        ::close(ends[0]);
        ::close(ends[1]);
        ASSERT_TRUE(std::holds_alternative<ScanProtocol::Refused>(reply));
    }

    // A client that goes away right after asking for a scan: the service goes on serving.
    for (int i = 0; i < 5; ++i)
    {
        Channel leaving = Greeted(service);
        const ScanProtocol::OwnedDescriptor fd(
            ::open((installation.Data() / "eicar.com").c_str(), O_RDONLY | O_CLOEXEC));
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
    Channel last = Greeted(service);
    Message stats;
    ASSERT_EQ(last.Send(ScanProtocol::StatsRequest{}), Outcome::Ok);
    ASSERT_EQ(last.Receive(stats, nullptr, 10s), Outcome::Ok);
    ASSERT_TRUE(std::holds_alternative<ScanProtocol::StatsReply>(stats));
    // The clean file's content was scanned once and then answered from the cache.
    EXPECT_EQ(std::get<ScanProtocol::StatsReply>(stats).cacheEntries, 1u);
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

// The service decides what is clean, so a client asks only a socket that nobody but root or its
// own user could have put in place.
TEST(EngineService, ClientsAskOnlyASocketNobodyElseCouldHavePlaced)
{
    EngineInstallation installation(false, true);
    const EngineService& service = *installation.Service();
    const fs::path folder = installation.Folder() / "sockets";
    fs::create_directories(folder);
    const fs::path moved = folder / "engine.sock";
    fs::rename(service.Socket(), moved);
    fs::create_symlink(moved, folder / "link.sock");
    const struct
    {
        fs::perms folderMode;
        fs::path socket;
        bool asked;
    } cases[] = {
        {fs::perms::owner_all, moved, true},
        {fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read, moved, true},
        {fs::perms::all_all, moved, false},
        {fs::perms::owner_all | fs::perms::group_write, moved, false},
        {fs::perms::all_all | fs::perms::sticky_bit, moved, true},
        {fs::perms::owner_all, folder / "link.sock", false},
        {fs::perms::owner_all, folder / "missing.sock", false},
    };
    for (const auto& test : cases)
    {
        fs::permissions(folder, test.folderMode);
        SCOPED_TRACE(test.socket.string() + " in a folder of mode " +
                     std::to_string(static_cast<unsigned>(test.folderMode)));
        EXPECT_EQ(ScanProtocol::SocketPlaceIsTrusted(test.socket.string()), test.asked);
        EXPECT_EQ(ScanProtocol::ConnectAndGreet(test.socket.string(), 5s).Get() >= 0, test.asked);
    }
    EXPECT_FALSE(ScanProtocol::SocketPlaceIsTrusted("relative/engine.sock"));
    EXPECT_FALSE(
        ScanProtocol::SocketPlaceIsTrusted((folder / ".." / "sockets" / "engine.sock").string()));
    fs::permissions(folder, fs::perms::owner_all);
    fs::rename(moved, service.Socket());
}

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
        Engine().ScanPath(instance, 0, Wide(installation.Data()).c_str(), ::getpid());
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
                    report.objectPath.find(L"/file") != std::wstring::npos;
    EXPECT_EQ(infected, 200u);

    // The new set serves now; a set that does not load is refused and the last one stays.
    EXPECT_EQ(ScanOver(control, installation.Data() / "marked.txt"),
              std::vector<std::string>{"Corvane.Test.Switched.UNOFFICIAL"});
    WriteFile(installation.Folder() / "Plugins" / "broken.ndb", "not a signature\n");
    ASSERT_EQ(control.Send(ScanProtocol::SwitchRequest{}), Outcome::Ok);
    ASSERT_EQ(control.Receive(reply, nullptr, 60s), Outcome::Ok);
    EXPECT_NE(std::get<ScanProtocol::SwitchReply>(reply).result, 0);
    EXPECT_EQ(SwitchCommand(*installation.Service()), 1);
    EXPECT_EQ(ScanOver(control, installation.Data() / "marked.txt"),
              std::vector<std::string>{"Corvane.Test.Switched.UNOFFICIAL"});
    fs::remove(installation.Folder() / "Plugins" / "broken.ndb");
}
} // namespace
