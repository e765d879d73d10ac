#include "Folders.h"

#include "PathHelper/KnownFolders.h"
#include "ProcessHelper/Process.h"

namespace CorvaneCommandLineScanner
{
boost::filesystem::path ProgramFolder()
{
    return ProcessHelper::Process::Path(nullptr).parent_path();
}

boost::filesystem::path CommonAppData()
{
    return PathHelper::Special::FolderPath(PathHelper::Special::CommonAppData, nullptr);
}

boost::filesystem::path ProductDataFolder()
{
    return CommonAppData() / "Corvane" / "Corvane antivirus";
}
} // namespace CorvaneCommandLineScanner
