#include "Scanner/ReportPath.h"

#include "FileSystemHelper/Text.h"

#include <cstring>

namespace CorvaneCommandLineScanner
{
bool IsValidFileName(const std::string& name)
{
    if (name.empty() || name.front() == ' ' || name.back() == ' ')
        return false;
    for (const char c : name)
    {
        if (static_cast<unsigned char>(c) < 32 || std::strchr("<>:\"/\\|", c))
            return false;
    }
    if (name.back() == '.')
        return name == "." || name == "..";
    return true;
}

std::wstring ReportFilePath(const std::wstring& resultPath, const std::wstring& defaultFileName)
{
    const boost::filesystem::path path = FileSystemHelper::PathFromWide(resultPath);
    const std::string lastComponent = FileSystemHelper::ToNarrow(
        FileSystemHelper::WidePath(path.filename()), FileSystemHelper::CodePageAnsi);
    if (IsValidFileName(lastComponent))
        return resultPath;
    return FileSystemHelper::WidePath(path / FileSystemHelper::PathFromWide(defaultFileName));
}
} // namespace CorvaneCommandLineScanner
