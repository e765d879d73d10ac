#pragma once

#include "InstallationLayout/Folders.h"

#include <boost/filesystem/path.hpp>

namespace CorvaneCommandLineScanner
{
// The folder of the running executable; every installation file is found from it.
boost::filesystem::path ProgramFolder();

// The current user's own state folder: the local application data folder joined with "Corvane".
boost::filesystem::path UserStateFolder();

// Where a run keeps what it writes and reads its definitions from.
//
// A portable installation (and every unmarked one) keeps all of it beside the executable. An
// installation for every user of the machine lies where users may only read, so there:
// - the log, the engine's temporary files and the scan results are each user's own, under
//   UserStateFolder;
// - the definitions and the quarantine are the machine's, under the product's folder in the
//   all-users data folder (InstallationLayout::ProductDataFolder), which only administrators may
//   change; the definitions there are read by everyone, the quarantine by administrators only.
//   Which folder holds the definitions is InstallationLayout's rule, which the engine service
//   follows too.
struct InstallationFolders
{
    bool perMachine = false;
    // Holds Logs, Temp and Scan Results.
    boost::filesystem::path state;
    // The folder whose Plugins the engine loads.
    boost::filesystem::path definitions;
    // The folder whose Plugins an update replaces; the update's working folders are there too.
    boost::filesystem::path updateTarget;
    // Where the engine moves what it quarantines.
    boost::filesystem::path quarantine;
};

// The folders of an installation in the program folder. machine is
// InstallationLayout::MachineFolder and user is UserStateFolder; user may be empty (no such
// folder), and then the state stays beside the executable.
InstallationFolders ChooseFolders(const boost::filesystem::path& program, bool perMachine,
                                  const boost::filesystem::path& machine,
                                  const boost::filesystem::path& user);

// The folders of this run's installation. Throws what ProgramFolder throws.
InstallationFolders RunFolders();

// Gives the machine's folder the starter definitions from the program folder's Plugins once,
// before the first update there: copied under a name of their own and renamed into place, so the
// folder never holds half a set. A set already there is left as it is (a repair of the
// installation never puts the starter set back over updated definitions). The engine's cache
// files stay behind. False when the copy could not be made.
bool SeedDefinitions(const boost::filesystem::path& program,
                     const boost::filesystem::path& machine);
} // namespace CorvaneCommandLineScanner
