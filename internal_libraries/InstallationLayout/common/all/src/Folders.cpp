#include "InstallationLayout/Folders.h"

#include "FileSystemHelper/File.h"
#include "FileSystemHelper/Text.h"
#include "PathHelper/KnownFolders.h"

#include <boost/exception/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace InstallationLayout
{
boost::property_tree::ptree ReadIni(const boost::filesystem::path& iniFile)
{
    std::vector<char> bytes;
    if (iniFile.empty() ||
        !FileSystemHelper::File::Read(FileSystemHelper::WidePath(iniFile), bytes))
        throw std::runtime_error("no settings file");
    std::istringstream text(std::string(bytes.begin(), bytes.end()));
    boost::property_tree::ptree tree;
    boost::property_tree::ini_parser::read_ini(text, tree);
    return tree;
}

bool ReadPerMachine(const boost::filesystem::path& markFile)
{
    try
    {
        return ReadIni(markFile).get<std::string>(
                   boost::property_tree::ptree::path_type("scope", '.'), "") == "machine";
    }
    catch (const std::exception&)
    {
        return false;
    }
}

boost::filesystem::path CommonAppData()
{
    return PathHelper::Special::FolderPath(PathHelper::Special::CommonAppData, nullptr);
}

boost::filesystem::path ProductDataFolder()
{
    return CommonAppData() / "Corvane" / "Corvane antivirus";
}

boost::filesystem::path MachineFolder()
{
    try
    {
        return ProductDataFolder();
    }
    catch (const boost::exception&)
    {
        return {};
    }
}

boost::filesystem::path DefinitionsFolder(const boost::filesystem::path& program, bool perMachine,
                                          const boost::filesystem::path& machine)
{
    if (!perMachine || machine.empty())
        return program;
    // The starter set beside the executable serves until an update has placed the machine's.
    boost::system::error_code error;
    return boost::filesystem::is_directory(machine / "Plugins", error) ? machine : program;
}

boost::filesystem::path DefinitionsFolder(const boost::filesystem::path& program)
{
    if (!ReadPerMachine(program / markFileName))
        return program;
    return DefinitionsFolder(program, true, MachineFolder());
}
} // namespace InstallationLayout
