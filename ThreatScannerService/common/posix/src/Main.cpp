// The resident engine service: loads a definitions set once and scans the files that the engine
// library of the program's runs hands over on its socket.
//
//   CorvaneEngineService (--definitions <folder> | --installation <program folder>)
//                        --state <folder> [--socket <path>] [--temp <folder>]
//   CorvaneEngineService --switch <socket>
//
// --definitions names the definitions folder itself. --installation names the program folder of
// an installation instead: the service then serves the definitions wherever that installation's
// rule puts them (the machine's, for an installation for every user, once its first update has
// placed them there), looked up again at each switch.
//
// Without --socket the service takes the socket that systemd passes it (socket activation); while
// its set loads, it answers each connection at once that it is not ready, so that a program run
// meanwhile loads the engine itself instead of waiting.
// With --socket it listens only once the set is loaded, so that a program run meanwhile loads
// the engine itself instead of waiting. --switch asks a running service to load the set in its
// definitions folder again and to serve it once loaded (after the folder was changed by other
// means than the program's update); the exit status is 0 when the new set serves.
// SIGTERM or SIGINT ends it; the clean-result cache is saved in the state folder.
#include "FileSystem.h"
#include "Service.h"

#include "ScanProtocol/Channel.h"
#include "ThreatScanner/ThreatScanner.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
int stopWrite = -1;

void OnStop(int)
{
    const char byte = 0;
    const ssize_t ignored = ::write(stopWrite, &byte, 1);
    static_cast<void>(ignored);
}

// The listening socket systemd passed, when it passed exactly one to this process.
int ActivatedSocket()
{
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    if (!pid || !count || std::strtol(pid, nullptr, 10) != ::getpid() ||
        std::strcmp(count, "1") != 0)
        return -1;
    ::fcntl(3, F_SETFD, FD_CLOEXEC);
    return 3;
}

// While the set loads, answers each connection at once that the service is not ready (Busy), so
// that a program run loads the engine itself instead of waiting for a greeting.
class NotReadyAnswers
{
public:
    explicit NotReadyAnswers(int listening)
    {
        if (listening >= 0)
            answering = std::thread([this, listening] { Answer(listening); });
    }
    ~NotReadyAnswers()
    {
        loaded = true;
        if (answering.joinable())
            answering.join();
    }
    NotReadyAnswers(const NotReadyAnswers&) = delete;
    NotReadyAnswers& operator=(const NotReadyAnswers&) = delete;

private:
    void Answer(int listening) const
    {
        while (!loaded)
        {
            pollfd wait{listening, POLLIN, 0};
            if (::poll(&wait, 1, 100) <= 0 || !(wait.revents & POLLIN))
                continue;
            ScanProtocol::OwnedDescriptor client(
                ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (client.Get() < 0)
                continue;
            ScanProtocol::Channel channel(std::move(client));
            channel.Send(ScanProtocol::Refused{ThreatScanner::Busy}, -1, std::chrono::seconds(1));
        }
    }

    std::atomic<bool> loaded{false};
    std::thread answering;
};

int Usage(const char* message)
{
    std::cerr << message
              << "\nUsage: CorvaneEngineService (--definitions <folder> | --installation "
                 "<program folder>) --state <folder> [--socket <path>] [--temp <folder>]\n"
                 "       CorvaneEngineService --switch <socket>\n";
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    ThreatScannerService::Settings settings;
    std::string socketPath;
    if (argc == 3 && std::strcmp(argv[1], "--switch") == 0)
        return ThreatScannerService::AskForSwitch(argv[2]);
    for (int i = 1; i < argc; ++i)
    {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return Usage(("Missing value of " + option).c_str());
        const std::string value = argv[++i];
        if (option == "--socket")
            socketPath = value;
        else if (!ThreatScannerService::TakeFolderOption(settings, option, value))
            return Usage(("Unknown option " + option).c_str());
    }
    if (const char* problem = ThreatScannerService::FolderProblem(settings))
        return Usage(problem);
    // Extracted archive members stay in a folder that only the service may enter.
    if (settings.tempFolder.empty())
        settings.tempFolder = ThreatScannerEngine::JoinPath(settings.stateFolder, "Temp");
    if (!ThreatScannerEngine::MakePrivateFolder(settings.stateFolder) ||
        !ThreatScannerEngine::MakePrivateFolder(settings.tempFolder))
    {
        std::cerr << "Couldn't create the state folder " << settings.stateFolder << "\n";
        return 1;
    }

    int stopPipe[2];
    if (::pipe2(stopPipe, O_CLOEXEC) != 0)
        return 1;
    stopWrite = stopPipe[1];
    struct sigaction action
    {
    };
    action.sa_handler = OnStop;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    ScanProtocol::OwnedDescriptor activated;
    if (socketPath.empty())
        activated.Reset(ActivatedSocket());
    auto service = std::make_unique<ThreatScannerService::Service>(settings);
    int status = 0;
    {
        // Under socket activation the socket takes connections before the set has loaded.
        const NotReadyAnswers notReady(activated.Get());
        status = service->Start();
    }
    if (status != 0)
    {
        std::cerr << "Couldn't load the definitions in "
                  << ThreatScannerService::DefinitionsFolder(settings) << ". Error: " << status
                  << "\n";
        return 1;
    }
    ScanProtocol::Listener listener;
    if (!socketPath.empty())
        // Reachable by this service's user and group only.
        listener = ScanProtocol::Listen(socketPath, 0660);
    const int listening = socketPath.empty() ? activated.Get() : listener.Get();
    if (listening < 0)
    {
        std::cerr << "Couldn't listen on "
                  << (socketPath.empty() ? "the passed socket" : socketPath)
                  << " (something else is there, or a service answers on it)\n";
        return 1;
    }

    std::cerr << "Engine service ready\n";
    ThreatScannerService::Listener connections{listening, stopPipe[0]};
    if (!service->Run(connections))
    {
        // A scan that does not end holds the service: the process ends under it.
        std::cerr << "Connections still open at the end\n";
        listener.RemoveEntry();
        std::_Exit(0);
    }
    service.reset();
    // Only the socket this service bound goes; whatever took its name meanwhile stays.
    listener.RemoveEntry();
    return 0;
}
