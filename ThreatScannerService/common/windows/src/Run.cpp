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
        OwnedDescriptor client;
        const Outcome accepted =
            listener.pipe.Accept(client, listener.stop, settings.cacheSaveInterval);
        if (accepted == Outcome::Closed)
            break;
        if (std::chrono::steady_clock::now() - lastSave >= settings.cacheSaveInterval)
        {
            SaveCache();
            lastSave = std::chrono::steady_clock::now();
        }
        if (accepted == Outcome::Failed)
        {
            // The wait itself failed: not in a tight loop.
            if (::WaitForSingleObject(reinterpret_cast<HANDLE>(listener.stop), 50) == WAIT_OBJECT_0)
                break;
            continue;
        }
        if (accepted != Outcome::Ok)
            continue;
        // Only the system, this service's account and administrators may ask; the pipe's access
        // list says the same, this holds even where it was opened up by mistake.
        if (!ScanProtocol::PeerIsTrusted(client.Get()))
        {
            ScanProtocol::Disconnect(client.Get());
            continue;
        }
        ServeOnThread(std::move(client));
    }
    return EndConnections();
}
} // namespace ThreatScannerService
