#pragma once
// Rules about the two ends of a connection to the engine service on Windows that need no system
// call, so that they are checked alike everywhere.
#include <string>

namespace ScanProtocol
{
// Whether the name is a pipe on this machine (\\.\pipe\<name>): a pipe on another machine is
// never asked, since its answers would decide what is clean and opening it would hand the
// user's credentials to that machine.
bool IsLocalPipeName(const std::string& name);

// Whether a pipe server that runs as the account with this SID (in its S-1-... string form) may
// answer a client that runs as ownSid: the system, the local service account, a service's own
// account (NT SERVICE\<name>, S-1-5-80-...), or the client's own account.
bool ServerAccountIsTrusted(const std::string& serverSid, const std::string& ownSid);
} // namespace ScanProtocol
