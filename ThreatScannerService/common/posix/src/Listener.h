#pragma once

namespace ThreatScannerService
{
// Where the service takes its connections from: the listening socket, and the descriptor that
// becomes readable when the service is to stop.
struct Listener
{
    int socket = -1;
    int stop = -1;
};
} // namespace ThreatScannerService
