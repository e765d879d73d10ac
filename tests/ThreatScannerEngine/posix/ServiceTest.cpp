// The engine service on POSIX: where a client finds it (only a socket nobody but root or its own
// user could have put in place), the socket's removal and socket activation.
#include "EngineHarness.h"

#include "ScanProtocol/Channel.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
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

// The run's first request goes over the connection that start-up opened. When the service that
// greeted it is gone by then (ended, restarted, or it ended the idle connection), the request is
// asked on a new connection instead of failing: a scan, and the definitions' description.
TEST(EngineService, TheFirstRequestOutlivesTheServiceThatStartUpAsked)
{
    for (const bool scanFirst : {true, false})
    {
        SCOPED_TRACE(scanFirst ? "a scan first" : "the description first");
        EngineInstallation installation(false, true);
        WriteFile(installation.Data() / "virus.com", TestVirus());
        installation.Service()->Kill();
        const EngineService restarted(installation.Folder() / "Plugins",
                                      installation.Folder().parent_path());
        Recorder recorder;
        CThreatScannerStruct* instance = installation.Instance(recorder);
        std::uint32_t version = 0;
        std::uint32_t time = 0;
        if (!scanFirst)
        {
            EXPECT_EQ(Engine().GetDatabaseInformation(instance, &version, &time), 0);
        }
        EXPECT_EQ(Engine().ScanPath(instance, 0, Wide(installation.Data()).c_str(), ProcessId()),
                  0);
        ASSERT_EQ(recorder.reports.size(), 1u);
        EXPECT_EQ(recorder.reports[0].scanStatus, ThreatScanner::StatusInfected);
        EXPECT_EQ(Engine().GetDatabaseInformation(instance, &version, &time), 0);
        EXPECT_GT(version, 0u);
    }
}

// The socket's folder may be one that others write to: the service removes only the entry that is
// still its own socket, never what someone put under the name.
TEST(EngineService, OnlyItsOwnOrAStaleSocketIsRemoved)
{
    EngineInstallation installation(false, false);
    const fs::path folder = installation.Folder() / "sockets";
    fs::create_directories(folder);
    const fs::path path = folder / "engine.sock";
    const auto answers = [&] { return ScanProtocol::Connect(path.string()).Get() >= 0; };

    WriteFile(path, "someone's file");
    EXPECT_LT(ScanProtocol::Listen(path.string(), 0600).Get(), 0);
    EXPECT_EQ(ReadFile(path), "someone's file");
    fs::remove(path);

    {
        ScanProtocol::Listener first = ScanProtocol::Listen(path.string(), 0600);
        ASSERT_GE(first.Get(), 0);
        EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        // A second service does not take the socket of one that answers.
        EXPECT_LT(ScanProtocol::Listen(path.string(), 0600).Get(), 0);
        EXPECT_TRUE(answers());
        // The socket was swapped for someone's file: it stays.
        fs::rename(path, folder / "moved.sock");
        WriteFile(path, "someone's file");
        first.RemoveEntry();
        EXPECT_EQ(ReadFile(path), "someone's file");
        fs::remove(path);
        fs::rename(folder / "moved.sock", path);
    }
    // The first one's socket is left without a listener: the next one replaces it and removes it
    // at its end.
    ScanProtocol::Listener next = ScanProtocol::Listen(path.string(), 0600);
    ASSERT_GE(next.Get(), 0);
    EXPECT_TRUE(answers());
    next.RemoveEntry();
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));

    // The service itself, at its end, leaves the file that took its socket's name.
    {
        EngineService service(installation.Folder() / "Plugins", folder);
        fs::remove(service.Socket());
        WriteFile(service.Socket(), "someone's file");
    }
    EXPECT_EQ(ReadFile(path), "someone's file");
}

// Under socket activation the socket takes connections before the set has loaded: each is told at
// once that the service is not ready, so that the program loads the engine itself without a wait.
TEST(EngineService, UnderSocketActivationARunWhileTheSetLoadsIsAnsweredAtOnce)
{
    EngineInstallation installation(false, false);
    // The load waits on this file until the test feeds it (each time the loader opens it).
    const fs::path slow = installation.Folder() / "Plugins" / "slow.ndb";
    ASSERT_EQ(::mkfifo(slow.c_str(), 0600), 0);
    const fs::path socket = installation.Folder() / "activated.sock";
    const fs::path errors = installation.Folder() / "service-errors.txt";
    ScanProtocol::Listener listener = ScanProtocol::Listen(socket.string(), 0600);
    ASSERT_GE(listener.Get(), 0);
    const std::string program = ENGINE_SERVICE_PATH;
    const std::string definitions = (installation.Folder() / "Plugins").string();
    const std::string state = (installation.Folder() / "State").string();
    const pid_t child = ::fork();
    if (child == 0)
    {
        if (::dup2(listener.Get(), 3) != 3 || ::fcntl(3, F_SETFD, 0) != 0)
            ::_exit(127);
        ::execl("/bin/sh", "sh", "-c",
                "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\" --definitions \"$1\" --state \"$2\" "
                "2>\"$3\"",
                program.c_str(), definitions.c_str(), state.c_str(), errors.c_str(), nullptr);
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    std::atomic<bool> fed{false};
    std::thread feeder;
    const auto feed = [&]
    {
        const std::string line = "Corvane.Test.Slow:0:*:636f7276616e653a736c6f77\n";
        feeder = std::thread(
            [&, line]
            {
                // A loader that closed its end early fails the write (EPIPE) instead of ending
                // the tests.
                sigset_t pipe;
                sigemptyset(&pipe);
                sigaddset(&pipe, SIGPIPE);
                pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
                while (!fed)
                {
                    const ScanProtocol::OwnedDescriptor writer(
                        ::open(slow.c_str(), O_WRONLY | O_CLOEXEC));
                    if (writer.Get() < 0)
                        return;
                    if (!fed)
                        static_cast<void>(!::write(writer.Get(), line.data(), line.size()));
                }
            });
    };
    // Ends the service and the feeder whatever the test's outcome; a writer that waits for the
    // loader is let go by a reader of the test's own.
    const std::shared_ptr<void> ending(
        nullptr,
        [&](void*)
        {
            fed = true;
            const ScanProtocol::OwnedDescriptor reader(
                ::open(slow.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            if (feeder.joinable())
                feeder.join();
            ::kill(child, SIGTERM);
            int status = 0;
            ::waitpid(child, &status, 0);
            const std::string output = ReadFile(errors);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << ": " << output;
            EXPECT_EQ(CorvaneTest::SanitizerReport(output), "");
        });

    Channel early(ScanProtocol::Connect(socket.string()));
    Message reply;
    ASSERT_EQ(early.Send(ScanProtocol::Hello{}), Outcome::Ok);
    ASSERT_EQ(early.Receive(reply, nullptr, 10s), Outcome::Ok);
    ASSERT_TRUE(std::holds_alternative<ScanProtocol::Refused>(reply));
    EXPECT_EQ(std::get<ScanProtocol::Refused>(reply).code, ThreatScanner::Busy);
    EXPECT_LT(ScanProtocol::ConnectAndGreet(socket.string(), 10s).Get(), 0);

    // Once the set has loaded, the service greets and scans with it.
    feed();
    ScanProtocol::OwnedDescriptor greeted;
    for (auto deadline = std::chrono::steady_clock::now() + 60s;
         greeted.Get() < 0 && std::chrono::steady_clock::now() < deadline;)
        greeted = ScanProtocol::ConnectAndGreet(socket.string(), 1s);
    ASSERT_GE(greeted.Get(), 0);
    Channel channel(std::move(greeted));
    WriteFile(installation.Data() / "slow.txt", "corvane:slow");
    EXPECT_EQ(ScanOver(channel, installation.Data() / "slow.txt"),
              std::vector<std::string>{"Corvane.Test.Slow.UNOFFICIAL"});
}
} // namespace
