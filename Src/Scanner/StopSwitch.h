#pragma once

#include "ThreatScanner/ThreatScanner.h"

#include <atomic>
#include <functional>
#include <mutex>

namespace CorvaneCommandLineScanner
{
// Asks a scan to stop from any thread (an interruption's), and passes the request on to the
// engine instance that scans at the time, now or as soon as one is attached.
class StopSwitch
{
public:
    using Tell = std::function<void(CThreatScannerStruct*)>;

    void Request()
    {
        std::lock_guard<std::mutex> lock(mutex);
        requested = true;
        if (instance)
            tell(instance);
    }

    bool Requested() const { return requested.load(); }

    // The instance that scans from now on, and how to tell it to stop.
    void Attach(CThreatScannerStruct* scanning, Tell how)
    {
        std::lock_guard<std::mutex> lock(mutex);
        instance = scanning;
        tell = std::move(how);
        if (requested)
            tell(instance);
    }

    // Called before the instance is destroyed.
    void Detach(CThreatScannerStruct* scanning)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (instance == scanning)
            instance = nullptr;
    }

private:
    std::mutex mutex;
    std::atomic<bool> requested{false};
    CThreatScannerStruct* instance = nullptr;
    Tell tell;
};
} // namespace CorvaneCommandLineScanner
