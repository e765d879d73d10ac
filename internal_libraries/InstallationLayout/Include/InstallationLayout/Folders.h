#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/property_tree/ptree.hpp>

// Where an installation's definitions are, decided once for every process that asks: the program
// and the engine service that serves it.
//
// A portable installation (and every unmarked one) loads the definitions beside the executable.
// An installation for every user of the machine is marked so by the release package (the file
// installation.ini beside the executable holding scope=machine); its definitions are the
// machine's, in the product's folder under the all-users data folder, once an update has put them
// there, and until then the starter set the package installed beside the executable.
namespace InstallationLayout
{
// The marking file in the program folder.
constexpr const char* markFileName = "installation.ini";

// The top-level tree of an installation's INI file (the marking file, the user's settings), read
// by its wide name and only when it is a regular file (a FIFO is not waited for). Throws when there
// is none or it cannot be parsed.
boost::property_tree::ptree ReadIni(const boost::filesystem::path& iniFile);

// Whether the marking file says scope=machine (at the top level). A missing or unreadable file,
// one that is not a regular file, or any other value marks nothing.
bool ReadPerMachine(const boost::filesystem::path& markFile);

// The all-users application data folder. Throws what PathHelper::Special::FolderPath throws.
boost::filesystem::path CommonAppData();

// CommonAppData/Corvane/Corvane antivirus. Throws as CommonAppData does.
boost::filesystem::path ProductDataFolder();

// ProductDataFolder, or empty when the all-users data folder is unknown.
boost::filesystem::path MachineFolder();

// The folder whose Plugins folder holds an installation's definitions. machine is the machine's
// folder (MachineFolder), empty when unknown: the program folder then holds them.
boost::filesystem::path DefinitionsFolder(const boost::filesystem::path& program, bool perMachine,
                                          const boost::filesystem::path& machine);

// The same for the installation in the program folder as it is now: its marking file and the
// machine's folder are read at each call.
boost::filesystem::path DefinitionsFolder(const boost::filesystem::path& program);
} // namespace InstallationLayout
