#pragma once

#include "ScanProtocol/Channel.h"

namespace ThreatScannerService
{
// Where the service takes its connections from: the pipe's waiting instances (created before the
// service says it is ready), and the event that is signalled when the service is to stop.
struct Listener
{
    ScanProtocol::PipeListener pipe;
    std::intptr_t stop = -1;
};
} // namespace ThreatScannerService
