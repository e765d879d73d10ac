#pragma once

#include "ScanProtocol/Channel.h"

#include <string>

namespace ThreatScannerService
{
// Where the service takes its connections from: the pipe's name, its first instance (created
// before the service says it is ready), and the event that is signalled when the service is to
// stop.
struct Listener
{
    std::string pipe;
    ScanProtocol::OwnedDescriptor instance;
    std::intptr_t stop = -1;
};
} // namespace ThreatScannerService
