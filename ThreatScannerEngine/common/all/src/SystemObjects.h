#pragma once

#include "Report.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace ThreatScannerEngine
{
// Lists the executables of the running processes, each file once (the first process running it
// names it). Processes whose executable cannot be examined are left out; returns how many of them
// were left out because this process has no right to examine them (other users' processes, for
// a user who is no administrator).
std::uint32_t ListProcessExecutables(const std::function<void(Target)>& onTarget);

using BootSector = std::array<unsigned char, 512>;

// Reads the first sector of the block device mounted at the given root folder. Returns
// PathError when nothing is mounted there, NotSupported when it is not a block device, FileOpen
// or FileRead when the device cannot be read, else 0 with the device's path.
int ReadBootSector(const std::string& root, std::string& device, BootSector& sector);
} // namespace ThreatScannerEngine
