// The settings file config.ini, and the same bytes as the installation's mark, installation.ini.
// Invariants: a folder the file names reaches the settings byte for byte, also where it is not
// UTF-8; the mark marks an installation for every user exactly when its scope is machine.
#include "FuzzSupport.h"

#include "Settings.h"

#include "FileSystemHelper/Text.h"
#include "InstallationLayout/Folders.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace
{
// The engines folder that the file names, when it is read at all: after a valid read_only.
bool NamedFolder(const boost::filesystem::path& file, std::string& folder)
{
    try
    {
        boost::property_tree::ptree tree;
        boost::property_tree::ini_parser::read_ini(file.string(), tree);
        using Path = boost::property_tree::ptree::path_type;
        tree.get<bool>(Path("read_only", '.'));
        folder = tree.get<std::string>(Path("engines_folder", '.'));
        return !folder.empty();
    }
    catch (const std::exception&)
    {
        return false;
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const boost::filesystem::path file = CorvaneFuzz::WriteFile(
        CorvaneFuzz::ScratchFolder() / "config.ini", CorvaneFuzz::Bytes(data, size));
    const CorvaneCommandLineScanner::Settings settings(file, L"/default/engines");
    CORVANE_FUZZ_CHECK(!settings.enginesFolder.empty(), "");

    bool machine = false;
    try
    {
        boost::property_tree::ptree tree;
        boost::property_tree::ini_parser::read_ini(file.string(), tree);
        machine = tree.get<std::string>(boost::property_tree::ptree::path_type("scope", '.'), "") ==
                  "machine";
    }
    catch (const std::exception&)
    {
    }
    CORVANE_FUZZ_CHECK(InstallationLayout::ReadPerMachine(file) == machine, "");

    std::string folder;
    if (!NamedFolder(file, folder))
        return 0;
    const std::string read = FileSystemHelper::PathFromWide(settings.enginesFolder).string();
    CORVANE_FUZZ_CHECK(read == folder,
                       CorvaneFuzz::Escaped(folder) + " read as " + CorvaneFuzz::Escaped(read));
    return 0;
}
