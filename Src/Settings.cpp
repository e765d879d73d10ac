#include "Settings.h"
#include "Folders.h"

#include "FileSystemHelper/Text.h"
#include "InstallationLayout/Folders.h"

#include <boost/exception/exception.hpp>
#include <boost/property_tree/ptree.hpp>

namespace CorvaneCommandLineScanner
{
namespace
{
std::wstring ProgramFolderOrEmpty()
{
    try
    {
        return FileSystemHelper::WidePath(ProgramFolder());
    }
    catch (const boost::exception&)
    {
        return {};
    }
}

boost::filesystem::path InstallationFile(const char* name)
{
    try
    {
        return ProgramFolder() / name;
    }
    catch (const boost::exception&)
    {
        return {};
    }
}
} // namespace

Settings::Settings() : Settings(InstallationFile("config.ini"), ProgramFolderOrEmpty())
{
    perMachine =
        InstallationLayout::ReadPerMachine(InstallationFile(InstallationLayout::markFileName));
}

Settings::Settings(const boost::filesystem::path& iniFile, const std::wstring& defaultEnginesFolder)
{
    try
    {
        const boost::property_tree::ptree tree = InstallationLayout::ReadIni(iniFile);
        definitionsServer = tree.get<std::string>(
            boost::property_tree::ptree::path_type("definitions_server", '.'), "");
        engineService = tree.get<std::string>(
            boost::property_tree::ptree::path_type("engine_service", '.'), defaultEngineService);
        if (engineService == "off")
            engineService.clear();
        readOnly = tree.get<bool>(boost::property_tree::ptree::path_type("read_only", '.'));
        const auto folder =
            tree.get<std::string>(boost::property_tree::ptree::path_type("engines_folder", '.'));
        enginesFolder = FileSystemHelper::WidePath(folder);
    }
    catch (const std::exception&)
    {
        // The first unreadable value ends the reading; the rest keeps its default.
    }
    if (enginesFolder.empty())
        enginesFolder = defaultEnginesFolder;
}
} // namespace CorvaneCommandLineScanner
