#include "ServiceClient.h"

namespace ThreatScannerEngine
{
// There is no resident engine service on this platform yet: the engine loads in process.
std::unique_ptr<ServiceConnection> ServiceConnection::Open(const std::string&)
{
    return nullptr;
}
} // namespace ThreatScannerEngine
