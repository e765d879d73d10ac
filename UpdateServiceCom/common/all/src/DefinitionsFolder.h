#pragma once

#include "Index.h"
#include "Pauses.h"

#include "FileSystemHelper/HeldFile.h"

#include <filesystem>
#include <set>
#include <string>

namespace UpdateServiceCom
{
// The definitions folder of an installation and the folders beside it that an install uses:
//   Plugins          the live set, which the engine reads
//   Plugins.staging  files downloaded by Update, waiting for Install
//   Plugins.new      the next set, built complete before it goes live
//   Plugins.old      the live set while it is being replaced
//   Plugins.switch   the switch marker: the SHA-256 digest of the next set's index.json
//   Plugins.switch.lock  held shared by scans while they load Plugins, exclusively by a switch
// An install builds the next set in full (every file of the release, update.txt and index.json,
// flushed to disk), writes the switch marker, swaps the next set in and removes the marker.
//
// Recovery after a crash (Recover) follows the marker:
//   - No marker: the switch was never decided. Plugins.new is an unfinished build and goes;
//     Plugins.old goes too, unless Plugins is missing, in which case Plugins.old comes back.
//   - A marker: the next set was complete, so the switch is finished. The set whose index.json
//     has the marker's digest becomes Plugins (if it is still Plugins.new, the live set moves
//     aside first); then the marker goes and after it the other folders. A marker that matches
//     neither folder is dropped and handled as no marker.
// So the engine finds either the complete old set or the complete new set. Nothing moves the
// live set while a scan loads it: a switch waits for the scans that are loading (up to the
// readers pause) and fails without a change when they take longer, and a scan that starts meanwhile
// waits for the switch to end.
class DefinitionsFolder
{
public:
    DefinitionsFolder(const std::filesystem::path& localPath, const Pauses& pauses);

    const std::filesystem::path& Live() const { return live; }
    const std::filesystem::path& Staging() const { return staging; }

    // Finishes or undoes a switch that was cut short, and removes what an unfinished run left.
    // Creates the switch lock file first, so that scans starting from here on take part in it.
    void Recover() const;

    // index.json of the live set, or empty.
    std::string InstalledIndexText() const;

    // True when the live set holds the file with its size and digest.
    bool HasCurrentCopy(const IndexFile& file) const;

    // True when update.txt of the live set names this version.
    bool ShowsVersion(const std::string& version) const;

    // Empties the staging folder.
    void ResetStaging() const;

    // Makes the release live: the files named in staged come from the staging folder, the others
    // from the live set. On failure the live set is left as it was (or as Recover leaves it).
    // The next set must load first: an engine service that answers at engineService and serves
    // this live set loads it (and serves it once it is live), otherwise it is loaded here.
    void Install(const Index& index, const std::string& indexText,
                 const std::set<std::string>& staged, const std::string& engineService = {}) const;

    // Removes the staging folder.
    void DropStaging() const;

private:
    void BuildNextSet(const Index& index, const std::string& indexText,
                      const std::set<std::string>& staged) const;
    void Switch(const std::string& nextIdentity) const;
    // Takes the switch lock unless it is held already; throws Failure (LocalFileError) when
    // scans keep it longer than the readers pause.
    void LockSwitch() const;
    void Rename(const std::filesystem::path& from, const std::filesystem::path& to) const;
    void RemoveAll(const std::filesystem::path& path) const;

    Pauses pauses;

    std::filesystem::path local;
    std::filesystem::path live;
    std::filesystem::path staging;
    std::filesystem::path next;
    std::filesystem::path previous;
    std::filesystem::path marker;
    std::filesystem::path markerDraft; // the marker while it is written
    std::filesystem::path switchLockFile;
    mutable FileSystemHelper::HeldFile switchLock;
};
} // namespace UpdateServiceCom
