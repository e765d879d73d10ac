#include "Folders.h"
#include "Settings.h"

#include "FileSystemHelper/OutputFile.h"
#include "PathHelper/KnownFolders.h"
#include "ProcessHelper/Process.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/exception/exception.hpp>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <string>

namespace CorvaneCommandLineScanner
{
boost::filesystem::path ProgramFolder()
{
    return ProcessHelper::Process::Path(nullptr).parent_path();
}

boost::filesystem::path UserStateFolder()
{
    return PathHelper::Special::FolderPath(PathHelper::Special::LocalAppData, nullptr) / "Corvane";
}

InstallationFolders ChooseFolders(const boost::filesystem::path& program, bool perMachine,
                                  const boost::filesystem::path& machine,
                                  const boost::filesystem::path& user)
{
    InstallationFolders folders;
    folders.state = program;
    folders.definitions = program;
    folders.updateTarget = program;
    folders.quarantine = program / "Quarantine";
    if (!perMachine || machine.empty())
        return folders;
    folders.perMachine = true;
    if (!user.empty())
        folders.state = user;
    folders.updateTarget = machine;
    folders.quarantine = machine / "Quarantine";
    folders.definitions = InstallationLayout::DefinitionsFolder(program, true, machine);
    return folders;
}

InstallationFolders RunFolders()
{
    const boost::filesystem::path program = ProgramFolder();
    const bool perMachine = Settings::Instance().perMachine;
    boost::filesystem::path machine;
    boost::filesystem::path user;
    if (perMachine)
    {
        // Without the machine's folder everything stays beside the executable.
        machine = InstallationLayout::MachineFolder();
        try
        {
            user = UserStateFolder();
        }
        catch (const boost::exception&)
        {
            // Without a folder of the user's the state stays beside the executable.
        }
    }
    return ChooseFolders(program, perMachine, machine, user);
}

bool SeedDefinitions(const boost::filesystem::path& program, const boost::filesystem::path& machine)
{
    namespace fs = boost::filesystem;
    boost::system::error_code error;
    const fs::path live = machine / "Plugins";
    if (fs::exists(fs::symlink_status(live, error)) ||
        !fs::is_directory(program / "Plugins", error))
        return true;
    const fs::path draft =
        machine / ("Plugins.seed-" + std::to_string(ProcessHelper::Process::CurrentId()));
    fs::remove_all(draft, error);
    if (!FileSystemHelper::CreateFolders(draft, FileSystemHelper::Access::Shared))
        return false;
    bool copied = true;
    for (fs::directory_iterator entry(program / "Plugins", error), end; !error && entry != end;
         entry.increment(error))
    {
        const fs::path name = entry->path().filename();
        if (boost::starts_with(name.string(), "cache.000") ||
            !fs::is_regular_file(entry->symlink_status(error)))
            continue;
        fs::copy_file(entry->path(), draft / name, error);
        if (error)
            break;
    }
    if (!error)
        fs::rename(draft, live, error);
    if (error)
    {
        copied = false;
        fs::remove_all(draft, error);
    }
    return copied;
}
} // namespace CorvaneCommandLineScanner
