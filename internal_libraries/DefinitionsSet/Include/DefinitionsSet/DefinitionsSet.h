#pragma once

// The rules of a definitions set, shared by the engine, the update library and their tools:
// which files a set holds and in which order they load, how an official signature database is
// recognised and verified, and how a whole set is loaded and checked. Paths are bytes (UTF-8 on
// Windows).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct cl_engine;

namespace DefinitionsSet
{
// True for a file name of a kind the engine's loader reads (by its ending, case ignored).
bool IsDefinitionsFile(const std::string& name);

// The definitions files among names, in the order the engine loads them: ignore lists first,
// then the rest by name. Names of other kinds are left out.
std::vector<std::string> LoadOrder(std::vector<std::string> names);

// What the engine's loader is handed to load a folder: the folder itself where libclamav's own
// folder loader works, otherwise each definitions file of the folder in load order. An empty
// list means the folder cannot be read.
std::vector<std::string> FilesToLoad(const std::string& folder);

// The official signature databases and the two forms in which they come: the publisher-signed
// download (.cvd) and the form the distribution's updater patches locally (.cld), whose header
// carries no signature.
enum class DatabaseForm
{
    Signed, // .cvd
    Patched // .cld
};

struct DatabaseName
{
    std::string database; // main, daily or bytecode
    DatabaseForm form = DatabaseForm::Signed;

    std::string FileName() const;
};

// The official databases, in the order they are fetched.
const std::vector<std::string>& OfficialDatabases();

// The database a file name stands for: exactly <database>.cvd or <database>.cld in lower case.
// Any other name (including .cud, other cases, other databases) is none.
std::optional<DatabaseName> ParseDatabaseName(const std::string& fileName);

// What a database's header says about it.
struct DatabaseHeader
{
    std::uint32_t version = 0;
    std::uint32_t signatures = 0;
    std::uint32_t functionality = 0;
    std::uint64_t buildTime = 0; // seconds since 1970-01-01 UTC
};

// Reads the 512-byte header of a database file; none when it is not a database header.
std::optional<DatabaseHeader> ReadDatabaseHeader(const std::string& path);
// The same from the header's bytes.
std::optional<DatabaseHeader> ParseDatabaseHeader(const std::string& header);

enum class Verdict
{
    Good,
    Unreadable, // the file cannot be opened or read
    Malformed,  // not a database: no header, a header its content contradicts, a broken archive
    Unverified  // the publisher's signature or the content's digest does not verify
};

// Verifies a database file as its form demands, with the publisher's key built into libclamav:
// a .cvd by its header's digest and signature and the signed member list inside; a .cld (which
// has no header signature) by the member list inside. path must end in the form's extension.
// On success the header is filled in.
Verdict VerifyDatabase(const std::string& path, DatabaseForm form, DatabaseHeader& header);

// Readers of a set hold the lock of the file named <folder><SwitchLockSuffix> shared while they
// read the set, and an update holds it exclusively while it moves sets in and out of the folder's
// place, so that a reader finds one whole set, old or new. The file lies beside the folder, so
// that its lock keeps nothing under the folder open.
inline constexpr char SwitchLockSuffix[] = ".switch.lock";

// Starts libclamav for this process once; false when it cannot start. Its messages are dropped:
// the program owns the console.
bool InitializeEngineLibrary();

// How loading a set went.
struct LoadResult
{
    int error = 0;               // libclamav's result: 0, or the first failure
    unsigned int signatures = 0; // signatures loaded
    bool missing = false;        // the folder cannot be read
    std::string failedFile;      // the file that failed to load, when known

    bool Loaded() const { return error == 0 && !missing && signatures > 0; }
};

// Loads every definitions file of folder into engine, in load order, with the standard options;
// stops at the first file that fails.
LoadResult Load(cl_engine* engine, const std::string& folder);

// Loads the folder into an engine of its own and compiles it, as the engine does when it starts:
// the set is good when it loads without error, holds at least one signature and compiles.
// Returns an empty text when it is good, or why not.
std::string Check(const std::string& folder);
} // namespace DefinitionsSet
