// Update from a source of official signature databases: a private mirror or a local folder.
// Only the official database names are taken, each is verified with the publisher's key built
// into libclamav, none may be older than the installed one, and the set is installed with the
// installation's own definitions through the same whole-set switch as a signed release.
#include "Crypto.h"
#include "DefinitionsFolder.h"
#include "Failure.h"
#include "Http.h"
#include "Service.h"

#include "DefinitionsSet/DefinitionsSet.h"

#include <algorithm>
#include <map>
#include <optional>

namespace UpdateServiceCom
{
namespace fs = std::filesystem;
using DefinitionsSet::DatabaseHeader;
using DefinitionsSet::DatabaseName;

namespace
{
constexpr std::size_t HeaderBytes = 512;
// The largest official database is a few hundred MiB.
constexpr std::uint64_t MaxDatabaseBytes = std::uint64_t{2} << 30;

// One official database of the next set.
struct Database
{
    DatabaseName name;
    DatabaseHeader header;
    std::uint64_t size = 0; // as announced, 0 when unknown
    bool fetch = false;     // newer than the installed copy, or not installed
};

// The official databases of the live set by database, with their headers.
std::map<std::string, Database> InstalledDatabases(const fs::path& live)
{
    std::map<std::string, Database> installed;
    std::error_code error;
    for (fs::directory_iterator entry(live, error), end; !error && entry != end;
         entry.increment(error))
    {
        const auto name = DefinitionsSet::ParseDatabaseName(entry->path().filename().string());
        if (!name || !entry->is_regular_file(error))
            continue;
        const auto header = DefinitionsSet::ReadDatabaseHeader(Platform::EnginePath(entry->path()));
        installed[name->database] = Database{*name, header.value_or(DatabaseHeader{}), 0, false};
    }
    return installed;
}

// The installation's own definitions files of the live set, which go on into the next set.
std::vector<IndexFile> OwnFiles(const fs::path& live)
{
    std::vector<IndexFile> files;
    std::error_code error;
    for (fs::directory_iterator entry(live, error), end; !error && entry != end;
         entry.increment(error))
    {
        const std::string name = entry->path().filename().string();
        std::error_code ignored;
        if (!entry->is_regular_file(ignored) || entry->is_symlink(ignored) ||
            !IsSafeFileName(name) || name == VersionFileName || name == IndexFileName ||
            DefinitionsSet::ParseDatabaseName(name))
            continue;
        files.push_back({name, fs::file_size(entry->path(), ignored), FileSha256(entry->path())});
    }
    if (error)
        throw Failure(LocalFileError, "Couldn't list " + live.string());
    return files;
}

// "main 62, daily 27100, bytecode 335": the version line of an official set.
std::string VersionText(const std::map<std::string, Database>& databases)
{
    std::string text;
    for (const std::string& database : DefinitionsSet::OfficialDatabases())
    {
        const auto found = databases.find(database);
        if (found == databases.end())
            continue;
        text += (text.empty() ? "" : ", ") + database + " " +
                std::to_string(found->second.header.version);
    }
    return text;
}

DatabaseHeader HeaderOf(const std::string& start, const std::string& file)
{
    const auto header = DefinitionsSet::ParseDatabaseHeader(start);
    if (!header)
        throw Failure(DatabaseRefused, file + " is not an official signature database");
    return *header;
}
} // namespace

void Service::RunOfficialUpdate()
{
    TakeLock();
    pending.reset();
    const DefinitionsFolder folder(localPath, pauses);
    folder.Recover();
    Notify(UpdSdk::EventCheckingForUpdate, nullptr);

    // What the source offers, by the headers of its databases.
    const std::map<std::string, Database> installed = InstalledDatabases(folder.Live());
    std::map<std::string, Database> offered;
    std::optional<Platform::SourceFolder> local;
    std::optional<HttpClient> http;
    if (source == Source::Folder)
    {
        local.emplace(sourceFolder);
        for (const std::string& fileName : local->Names())
        {
            const auto name = DefinitionsSet::ParseDatabaseName(fileName);
            if (!name)
                continue;
            if (offered.count(name->database))
                throw Failure(DatabaseConflict, "The folder holds both " + name->database +
                                                    ".cvd and " + name->database + ".cld");
            std::uint64_t size = 0;
            const std::string start = local->ReadStart(fileName, HeaderBytes, size);
            offered[name->database] = Database{*name, HeaderOf(start, fileName), size, false};
        }
    }
    else
    {
        http.emplace(stallSeconds);
        for (const std::string& database : DefinitionsSet::OfficialDatabases())
        {
            const DatabaseName name{database, DefinitionsSet::DatabaseForm::Signed};
            std::int64_t announced = -1;
            std::string start;
            try
            {
                start = Retrying(
                    [&] {
                        return http->FetchStart(server + "/" + name.FileName(), HeaderBytes,
                                                announced);
                    });
            }
            catch (const Failure& failure)
            {
                // A database the mirror does not carry.
                if (failure.Code() == ServerError && !failure.RetryQuery())
                    continue;
                throw;
            }
            offered[database] =
                Database{name, HeaderOf(start, name.FileName()),
                         announced > 0 ? static_cast<std::uint64_t>(announced) : 0, false};
        }
    }
    if (offered.empty())
        throw Failure(SourceIncomplete, "The source offers no official signature database");

    std::uint64_t total = 0;
    std::size_t newer = 0;
    for (auto& [database, offer] : offered)
    {
        const auto current = installed.find(database);
        if (current != installed.end() && offer.header.version < current->second.header.version)
            throw Failure(DatabaseRollback,
                          "The source offers an older " + database + " than installed");
        // The same version in the other form is the same database: the installed copy stays.
        if (current != installed.end() && offer.header.version == current->second.header.version)
        {
            offer = current->second;
            continue;
        }
        offer.fetch = true;
        total += offer.size;
        ++newer;
    }
    for (const auto& [database, copy] : installed)
    {
        if (!offered.count(database))
            throw Failure(SourceIncomplete, "The source no longer offers " + copy.name.FileName());
    }
    if (newer == 0)
        return UpToDate(folder);

    Notify(UpdSdk::EventTotalBytes, &total);
    folder.ResetStaging();
    try
    {
        Index index;
        index.files = OwnFiles(folder.Live());
        std::set<std::string> staged;
        std::uint64_t done = 0;
        for (auto& [database, offer] : offered)
        {
            const std::string fileName = offer.name.FileName();
            if (!offer.fetch)
            {
                const fs::path copy = folder.Live() / fileName;
                std::error_code ignored;
                index.files.push_back({fileName, fs::file_size(copy, ignored), FileSha256(copy)});
                continue;
            }
            Notify(UpdSdk::EventFileName, const_cast<char*>(fileName.c_str()));
            const fs::path target = folder.Staging() / fileName;
            const auto progress = Progress(done, total, offer.size);
            // The size the mirror announced bounds the download and with it its deadline; a
            // local copy has no deadline, and the file may have been replaced since.
            const std::uint64_t limit = local            ? MaxDatabaseBytes
                                        : offer.size > 0 ? std::min(offer.size, MaxDatabaseBytes)
                                                         : MaxDatabaseBytes;
            const std::uint64_t size = Retrying(
                [&]
                {
                    return local ? local->CopyTo(fileName, target, limit, progress)
                                 : http->DownloadUpTo(server + "/" + fileName, target, limit,
                                                      progress);
                });
            done += size;

            // What arrived is judged, not what the header promised.
            DatabaseHeader verified;
            switch (DefinitionsSet::VerifyDatabase(Platform::EnginePath(target), offer.name.form,
                                                   verified))
            {
            case DefinitionsSet::Verdict::Good:
                break;
            case DefinitionsSet::Verdict::Unreadable:
                throw Failure(LocalFileError, "Couldn't read the copy of " + fileName);
            case DefinitionsSet::Verdict::Unverified:
                throw Failure(DatabaseRefused,
                              fileName + " does not verify with its publisher's signature");
            case DefinitionsSet::Verdict::Malformed:
                throw Failure(DatabaseRefused, fileName + " is damaged or not a database");
            }
            const auto current = installed.find(database);
            if (current != installed.end() && verified.version < current->second.header.version)
                throw Failure(DatabaseRollback,
                              "The source offers an older " + database + " than installed");
            offer.header = verified;
            index.files.push_back({fileName, size, FileSha256(target)});
            staged.insert(fileName);
        }
        index.version = VersionText(offered);
        index.sequence = 0;
        if (const std::string text = folder.InstalledIndexText(); !text.empty())
        {
            // A signed release older than the one installed before stays refused.
            try
            {
                index.sequence = ParseIndex(text).sequence;
            }
            catch (const Failure&)
            {
            }
        }
        const std::string indexText = WriteIndex(index);
        pending = Pending{ParseIndex(indexText), indexText, std::move(staged)};
    }
    catch (...)
    {
        folder.DropStaging();
        throw;
    }
    Notify(UpdSdk::EventDownloadDone, nullptr);
    std::uint64_t waiting = newer;
    Notify(UpdSdk::EventInstallPending, &waiting);
}
} // namespace UpdateServiceCom
