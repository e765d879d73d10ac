#pragma once

#include <string>
#include <sys/types.h>

namespace ThreatScannerEngine
{
// The file a detection was made in, as it was when it was scanned. An action only touches a path
// that still names this file, so a file swapped in after the scan is never moved or removed.
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
};

// Moves the file into the quarantine folder as <id>.bin, with <id>.txt beside it naming the
// original path, the time, the threat and the original permissions, owner and group. The folder
// is open to its owner only; the quarantined file belongs to this process and can only be read
// by it. The file's content is kept; on a failure before the move the original stays where it
// was. Returns 0 or a result code.
int QuarantineFile(const std::string& path, const FileIdentity& identity,
                   const std::string& quarantineFolder, const std::string& threatName);

// Removes the file. Returns 0 or a result code.
int DeleteFile(const std::string& path, const FileIdentity& identity);
} // namespace ThreatScannerEngine
