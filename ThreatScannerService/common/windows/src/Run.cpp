#include "Service.h"

#include <thread>
#include <windows.h>

namespace ThreatScannerService
{
using ScanProtocol::Outcome;
using ScanProtocol::OwnedDescriptor;

bool Service::Run(Listener& listener)
{
    auto lastSave = std::chrono::steady_clock::now();
    for (;;)
    {
        if (listener.instance.Get() == -1)
        {
            // No instance for the next client (out of memory for a moment): try again soon.
            if (::WaitForSingleObject(reinterpret_cast<HANDLE>(listener.stop), 50) == WAIT_OBJECT_0)
                break;
            listener.instance = ScanProtocol::Listen(listener.pipe, false);
            continue;
        }
        const Outcome accepted =
            ScanProtocol::Accept(listener.instance.Get(), listener.stop, std::chrono::seconds(1));
        if (accepted == Outcome::Closed)
            break;
        if (std::chrono::steady_clock::now() - lastSave >= settings.cacheSaveInterval)
        {
            SaveCache();
            lastSave = std::chrono::steady_clock::now();
        }
        if (accepted == Outcome::Failed)
            listener.instance.Reset();
        if (accepted != Outcome::Ok)
            continue;
        // The next instance is there before this one is served, so that the name always has one.
        OwnedDescriptor client = std::move(listener.instance);
        listener.instance = ScanProtocol::Listen(listener.pipe, false);
        // Only the system, this service's account and administrators may ask; the pipe's access
        // list says the same, this holds even where it was opened up by mistake.
        if (!ScanProtocol::PeerIsTrusted(client.Get()))
        {
            ScanProtocol::Disconnect(client.Get());
            continue;
        }
        ServeOnThread(std::move(client));
    }
    // Ends every connection: a client waiting for an answer sees the connection close.
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (const auto instance : clients)
            ScanProtocol::Disconnect(instance);
        if (!connectionEnded.wait_for(lock, std::chrono::seconds(30),
                                      [this] { return clients.empty(); }))
            return false;
    }
    SaveCache();
    return true;
}
} // namespace ThreatScannerService
