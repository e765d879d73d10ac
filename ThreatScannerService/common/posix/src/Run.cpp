#include "Service.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace ThreatScannerService
{
using ScanProtocol::OwnedDescriptor;

bool Service::Run(Listener& listener)
{
    const int listening = listener.socket;
    auto lastSave = std::chrono::steady_clock::now();
    for (;;)
    {
        pollfd waits[2] = {{listening, POLLIN, 0}, {listener.stop, POLLIN, 0}};
        const int ready = ::poll(waits, 2, 1000);
        if (ready > 0 && (waits[1].revents & (POLLIN | POLLHUP | POLLERR)))
            break;
        if (std::chrono::steady_clock::now() - lastSave >= settings.cacheSaveInterval)
        {
            SaveCache();
            lastSave = std::chrono::steady_clock::now();
        }
        if (ready <= 0 || !(waits[0].revents & POLLIN))
            continue;
        OwnedDescriptor client(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
        if (client.Get() < 0)
        {
            // Out of descriptors or memory for a moment: the connection waits in the backlog.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        // Only root, this service's user and its group may ask; the socket's mode says the
        // same, this holds even where the socket was made reachable by mistake.
        if (!ScanProtocol::PeerIsTrusted(client.Get(), static_cast<std::uint32_t>(::getegid())))
            continue;
        ServeOnThread(std::move(client));
    }
    return EndConnections();
}
} // namespace ThreatScannerService
