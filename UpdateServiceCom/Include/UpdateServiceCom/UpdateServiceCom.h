#pragma once

// What this update library adds to the shared interface: its result codes and the options that
// only it understands. Update and Install return 0 or one of the codes below.

#include <cstdint>

namespace UpdateServiceCom
{
enum Result : int
{
    Ok = 0,
    NotConfigured = 1,    // the server URL or the local path was never set
    NothingToInstall = 2, // Install without a pending download from Update
    Busy = 3,             // another process is updating the same installation
    Internal = 4,         // an unexpected failure inside the library

    ConnectionFailed = 10,    // no connection, or the connection broke off
    ServerError = 11,         // a status other than 200, or response headers over 64 KiB
    Stalled = 12,             // the server stopped sending, or the transfer ran past its deadline
    Truncated = 13,           // a file ended before the size the index gives
    Oversized = 14,           // a file (or the index) was longer than allowed
    DigestMismatch = 15,      // a file's SHA-256 digest differs from the index
    DefinitionsRejected = 16, // the engine cannot load the new definitions; nothing installed
    ProxyAuthentication = 17, // the proxy asked for credentials (407) that it was not given

    IndexUnsigned = 20,     // the index signature is missing or is not a signature at all
    IndexBadSignature = 21, // the index signature does not verify with the publisher's key
    PublicKeyMissing = 22,  // the publisher's key file is missing or unreadable
    IndexMalformed = 23,    // the index is not valid JSON or lacks what it must hold
    IndexUnsafePath = 24,   // the index names a file outside the definitions folder
    IndexRollback = 25,     // the index is older than the installed definitions

    LocalFileError = 30, // reading or writing the installation's files failed

    // Official signature databases, from a private mirror or a local folder.
    DatabaseRefused = 40,  // a database fails verification: tampered, truncated, not signed by
                           // its publisher (a .cld offered as .cvd), or not a database at all
    DatabaseRollback = 41, // a database is older than the installed one
    DatabaseConflict = 42, // the local folder holds both the .cvd and the .cld of one database
    SourceUnsafe = 43,     // the local folder or a database in it is a link, is owned by someone
                           // other than the administrator or the updating user, or is writable
                           // by anyone else
    SourceIncomplete = 44, // the source offers no official database, or not one the installed
                           // set holds
};

// Library-specific option ids, beyond the shared ones.
enum Option : int
{
    // const std::uint32_t*: seconds without data after which a transfer counts as stalled, and
    // the connect time-out. Default 30; 0 is refused.
    OptionStallTimeout = 1000,
};
} // namespace UpdateServiceCom
