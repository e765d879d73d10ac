#pragma once

#include "Actions.h"
#include "Engine.h"
#include "FileScan.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace ThreatScannerEngine
{
class Descriptor;

// One connection to the resident engine service, which holds the compiled engine and scans the
// descriptors handed to it. Every wait is bounded, so a service that stops answering fails the
// call instead of holding it.
class ServiceConnection
{
public:
    // A connection that the service greeted with this protocol version; null when no service
    // answers at the path (or the platform has none).
    static std::unique_ptr<ServiceConnection> Open(const std::string& socketPath);
    virtual ~ServiceConnection() = default;

    // Scans an open regular file. False when the service could not be asked or did not answer:
    // the connection is then unusable.
    virtual bool Scan(const Descriptor& file, bool scanArchives, FileScanResult& result) = 0;
    // Scans a block of memory, handed over as the content of a file of its own.
    virtual bool ScanBytes(const void* data, std::size_t size, bool scanArchives,
                           FileScanResult& result) = 0;
    // The loaded definitions' description; false when the service did not answer.
    virtual bool Information(DatabaseInformation& information) = 0;
    // Whether the service's definitions folder is the folder at the path; false when it serves
    // another one or did not answer. A service of another folder's set is not used.
    virtual bool Serves(const std::string& definitionsFolder) = 0;
    // Asks the service to load its definitions again and switch to them; the engine's result
    // code of that load, or Failed when the service did not answer.
    virtual int Switch() = 0;
};

// The connections of one run to one service. Start-up keeps the connection it asked whether the
// service serves the engine's folder, and the run's first request takes it instead of connecting
// and greeting again; every later request connects anew, as before.
class ServiceConnections
{
public:
    ServiceConnections(std::string socketPath, std::unique_ptr<ServiceConnection> kept);

    // Asks on the kept connection the first time, on a new one after that. The service may have
    // ended the kept one meanwhile (it ends idle connections), so a request that fails on it is
    // asked once more on a new connection. connection is left holding the connection asked last
    // (null when no service answered), for the caller's next requests.
    bool Ask(std::unique_ptr<ServiceConnection>& connection,
             const std::function<bool(ServiceConnection&)>& ask);

private:
    const std::string socketPath;
    std::mutex mutex;
    std::unique_ptr<ServiceConnection> kept;
};

// The platform half of the connection (common/posix/src, common/windows/src).
// The handle or descriptor to pass to the service for an open file, positioned at its start.
NativeHandle PassableHandle(const Descriptor& file);
// A new file that holds the bytes, positioned at its start and gone once closed; -1 on failure.
NativeHandle FileOfBytes(const void* data, std::size_t size);
// The folder at the path, opened so that the service can tell whether it is the folder it serves
// (its identity only, not its content); -1 when it cannot be opened.
NativeHandle FolderToPass(const std::string& folder);
} // namespace ThreatScannerEngine
