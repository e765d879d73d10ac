#include "DefinitionsFolder.h"

#include "Crypto.h"
#include "Failure.h"
#include "Platform.h"
#include "TestHooks.h"

#include "DefinitionsSet/DefinitionsSet.h"
#include "FileSystemHelper/OutputFile.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace UpdateServiceCom
{
namespace fs = std::filesystem;

namespace
{
[[noreturn]] void FileError(const std::string& what, const fs::path& path,
                            const std::error_code& error)
{
    throw Failure(LocalFileError,
                  "Couldn't " + what + " " + path.string() + ": " + error.message());
}

bool Exists(const fs::path& path)
{
    std::error_code error;
    const bool exists = fs::exists(path, error);
    if (error)
        FileError("look at", path, error);
    return exists;
}

// Removes what is left over where a failure is of no consequence: the next run removes it too.
void RemoveQuietly(const fs::path& path)
{
    Platform::TryRemoveAll(path);
}

std::string ReadText(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Writes a file whole under a temporary name, flushes it to the disk and renames it into place;
// nothing is written through a link or a FIFO left at the name.
void WriteDurably(const fs::path& path, const std::string& text)
{
    if (!FileSystemHelper::SaveWholeFile(boost::filesystem::path(path.native()), text,
                                         FileSystemHelper::Access::Shared))
        throw Failure(LocalFileError, "Couldn't write " + path.string());
}

// Creates a folder of the definitions with its missing parents, readable by all and writable by
// the owner only, whatever the umask.
void CreateFolder(const fs::path& folder)
{
    if (!FileSystemHelper::CreateFolders(boost::filesystem::path(folder.native()),
                                         FileSystemHelper::Access::Shared))
        FileError("create", folder, std::make_error_code(std::errc::io_error));
}

// A set is known by the digest of its index.json; a set without one has no identity.
std::string Identity(const fs::path& set)
{
    const fs::path index = set / IndexFileName;
    return Exists(index) ? FileSha256(index) : std::string();
}

// "2021-06-23T01:34:00Z" for seconds since 1970-01-01 UTC.
std::string UtcText(std::uint64_t seconds)
{
    const std::int64_t days = static_cast<std::int64_t>(seconds / 86400);
    const std::uint64_t ofDay = seconds % 86400;
    // Civil date from a day count (proleptic Gregorian calendar).
    const std::int64_t shifted = days + 719468;
    const std::int64_t era = shifted / 146097;
    const std::int64_t dayOfEra = shifted - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02llu:%02llu:%02lluZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<unsigned long long>(ofDay / 3600),
                  static_cast<unsigned long long>(ofDay / 60 % 60),
                  static_cast<unsigned long long>(ofDay % 60));
    return text;
}

// One line per official signature database of a set, from the database's own header, for the
// definitions information: "Official database: daily.cvd version 27100 built <UTC time>".
std::string DatabaseLines(const fs::path& set, const Index& index)
{
    std::string lines;
    for (const std::string& database : DefinitionsSet::OfficialDatabases())
    {
        for (const IndexFile& file : index.files)
        {
            const auto name = DefinitionsSet::ParseDatabaseName(file.name);
            if (!name || name->database != database)
                continue;
            if (const auto header =
                    DefinitionsSet::ReadDatabaseHeader(Platform::EnginePath(set / file.name)))
                lines += "Official database: " + file.name + " version " +
                         std::to_string(header->version) + " built " + UtcText(header->buildTime) +
                         "\n";
        }
    }
    return lines;
}

bool SameCopy(const fs::path& path, const IndexFile& file)
{
    std::error_code error;
    if (!fs::is_regular_file(path, error) || fs::file_size(path, error) != file.size || error)
        return false;
    return FileSha256(path) == file.sha256;
}
} // namespace

DefinitionsFolder::DefinitionsFolder(const fs::path& localPath, const Pauses& pauses)
    : pauses(pauses), local(localPath), live(localPath / "Plugins"),
      staging(localPath / "Plugins.staging"), next(localPath / "Plugins.new"),
      previous(localPath / "Plugins.old"), marker(localPath / "Plugins.switch"),
      markerDraft(localPath / "Plugins.switch.draft"),
      switchLockFile(localPath / (std::string("Plugins") + DefinitionsSet::SwitchLockSuffix))
{
}

void DefinitionsFolder::Rename(const fs::path& from, const fs::path& to) const
{
    Platform::Rename(from, to, pauses.inUse);
}

void DefinitionsFolder::RemoveAll(const fs::path& path) const
{
    Platform::RemoveAll(path, pauses.inUse);
}

void DefinitionsFolder::LockSwitch() const
{
    if (switchLock.Held())
        return;
    switch (switchLock.Lock(boost::filesystem::path(switchLockFile.native()),
                            FileSystemHelper::LockMode::Exclusive, pauses.readers))
    {
    case FileSystemHelper::LockResult::Locked:
        return;
    case FileSystemHelper::LockResult::Busy:
        throw Failure(LocalFileError, "The definitions are being loaded by a scan");
    case FileSystemHelper::LockResult::Failed:
        break;
    }
    throw Failure(LocalFileError, "Couldn't open " + switchLockFile.string());
}

void DefinitionsFolder::Recover() const
{
    if (!switchLock.Held())
    {
        // Only an exclusive lock creates the file; whether it can be had now does not matter.
        FileSystemHelper::HeldFile create;
        create.Lock(boost::filesystem::path(switchLockFile.native()),
                    FileSystemHelper::LockMode::Exclusive);
    }
    RemoveAll(markerDraft);
    const std::string wanted = ReadText(marker);
    // The live set may move below: scans that load it are waited for, and only the lock taken
    // here is let go at the end (a switch that recovers keeps its own).
    struct LockedHere
    {
        FileSystemHelper::HeldFile& lock;
        const bool taken;
        ~LockedHere()
        {
            if (taken)
                lock.Release();
        }
    };
    const LockedHere locked{switchLock,
                            !switchLock.Held() && (!wanted.empty() || Exists(previous))};
    if (locked.taken)
        LockSwitch();
    if (!wanted.empty() && Identity(live) != wanted && Identity(next) == wanted)
    {
        if (Exists(live))
        {
            RemoveAll(previous);
            Rename(live, previous);
        }
        Rename(next, live);
        Platform::SyncFolder(local);
    }
    if (Exists(marker))
    {
        RemoveAll(marker);
        Platform::SyncFolder(local);
    }
    RemoveAll(next);
    if (!Exists(live) && Exists(previous))
        Rename(previous, live);
    else
        RemoveAll(previous);
}

std::string DefinitionsFolder::InstalledIndexText() const
{
    return ReadText(live / IndexFileName);
}

bool DefinitionsFolder::HasCurrentCopy(const IndexFile& file) const
{
    return SameCopy(live / file.name, file);
}

bool DefinitionsFolder::ShowsVersion(const std::string& version) const
{
    std::istringstream lines(ReadText(live / VersionFileName));
    for (std::string line; std::getline(lines, line);)
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "Version: " + version)
            return true;
    }
    return false;
}

void DefinitionsFolder::ResetStaging() const
{
    RemoveAll(staging);
    CreateFolder(staging);
}

void DefinitionsFolder::DropStaging() const
{
    RemoveQuietly(staging);
}

void DefinitionsFolder::BuildNextSet(const Index& index, const std::string& indexText,
                                     const std::set<std::string>& staged) const
{
    RemoveAll(next);
    CreateFolder(next);
    std::error_code error;
    for (const IndexFile& file : index.files)
    {
        const fs::path target = next / file.name;
        if (staged.count(file.name))
        {
            Rename(staging / file.name, target);
        }
        else
        {
            // The live file is never written again, so the next set may share it.
            const fs::path source = live / file.name;
            fs::create_hard_link(source, target, error);
            if (error)
                fs::copy_file(source, target, error);
            if (error)
                FileError("copy", source, error);
        }
        TestHooks::KillPoint(TestHooks::FirstFilePlaced);
    }
    // The set goes live only as the release describes it.
    for (const IndexFile& file : index.files)
    {
        const fs::path target = next / file.name;
        if (!SameCopy(target, file))
            throw Failure(DigestMismatch, "The file " + file.name + " changed before install");
        Platform::SyncFile(target);
    }
    WriteDurably(next / VersionFileName,
                 "Version: " + index.version + "\n" + DatabaseLines(next, index));
    WriteDurably(next / IndexFileName, indexText);
    Platform::SyncFolder(next);
}

void DefinitionsFolder::Install(const Index& index, const std::string& indexText,
                                const std::set<std::string>& staged,
                                const std::string& engineService) const
{
    std::unique_ptr<Platform::ServiceLoad> serviceLoad;
    try
    {
        BuildNextSet(index, indexText, staged);
        // The engine must start on the set: it loads without error, holds a signature and
        // compiles. Otherwise the working definitions stay. An engine service that serves this
        // installation loads it for both: the check and the set it serves next.
        int refusal = 0;
        if (!engineService.empty())
            serviceLoad = Platform::LoadInEngineService(engineService, next, refusal);
        if (refusal != 0)
            throw Failure(DefinitionsRejected,
                          "The new definitions are refused by the engine service. Error: " +
                              std::to_string(refusal));
        if (!serviceLoad)
            if (const std::string why = DefinitionsSet::Check(Platform::EnginePath(next));
                !why.empty())
                throw Failure(DefinitionsRejected, "The new definitions are refused: " + why);
        LockSwitch();
    }
    catch (...)
    {
        RemoveQuietly(next);
        throw;
    }
    // Scans that start from here on wait until the switch is over, or undone.
    struct Unlock
    {
        FileSystemHelper::HeldFile& lock;
        ~Unlock() { lock.Release(); }
    } const unlock{switchLock};
    TestHooks::KillPoint(TestHooks::NextSetComplete);

    // From the moment the marker exists, recovery completes the switch instead of undoing it.
    RemoveAll(previous);
    WriteDurably(markerDraft, FileSha256(next / IndexFileName));
    Rename(markerDraft, marker);
    Platform::SyncFolder(local);
    TestHooks::KillPoint(TestHooks::SwitchDecided);

    try
    {
        Switch(ReadText(marker));
        // A service that does not take the set after all loads it again when the program asks
        // it to switch.
        if (serviceLoad)
            serviceLoad->Serve();
    }
    catch (const Failure&)
    {
        // Finish the switch if the file system lets us; otherwise bring the old set back.
        try
        {
            Recover();
        }
        catch (const Failure&)
        {
            std::error_code ignored;
            try
            {
                if (!fs::exists(live, ignored) && fs::exists(previous, ignored))
                    Rename(previous, live);
            }
            catch (const Failure&)
            {
            }
            fs::remove(marker, ignored);
        }
        throw;
    }
}

void DefinitionsFolder::Switch(const std::string& nextIdentity) const
{
    if (Exists(live))
    {
        if (TestHooks::ExchangeAllowed() && Platform::ExchangeFolders(next, live))
        {
            TestHooks::KillPoint(TestHooks::FirstRenameDone);
        }
        else
        {
            Rename(live, previous);
            TestHooks::KillPoint(TestHooks::FirstRenameDone);
            Rename(next, live);
            TestHooks::KillPoint(TestHooks::SecondRenameDone);
        }
    }
    else
    {
        Rename(next, live);
    }
    Platform::SyncFolder(local);
    if (Identity(live) != nextIdentity)
        throw Failure(LocalFileError, "The new definitions did not go live");
    RemoveAll(marker);
    Platform::SyncFolder(local);
    TestHooks::KillPoint(TestHooks::SwitchMarkerGone);

    // The switch is done; what is left over is only clutter, which the next run removes too.
    RemoveQuietly(next);
    RemoveQuietly(previous);
}
} // namespace UpdateServiceCom
