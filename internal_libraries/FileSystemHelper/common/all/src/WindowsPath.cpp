#include "FileSystemHelper/WindowsPath.h"

namespace FileSystemHelper
{
namespace
{
template <typename Char> bool IsSeparator(Char c)
{
    return c == Char('\\') || c == Char('/');
}

// The end of the component that starts at the position: the next separator or the end.
template <typename Char>
std::size_t ComponentEnd(const std::basic_string<Char>& path, std::size_t at)
{
    while (at < path.size() && !IsSeparator(path[at]))
        ++at;
    return at;
}

// Past one non-empty component and the separator after it, if any; 0 when it is empty.
template <typename Char>
std::size_t PastComponent(const std::basic_string<Char>& path, std::size_t at)
{
    const std::size_t end = ComponentEnd(path, at);
    if (end == at)
        return 0;
    return end < path.size() ? end + 1 : end;
}

template <typename Char> bool IsLetter(Char c)
{
    return (c >= Char('A') && c <= Char('Z')) || (c >= Char('a') && c <= Char('z'));
}

template <typename Char> std::size_t RootLength(const std::basic_string<Char>& path)
{
    // "C:\": a drive letter with its separator.
    if (path.size() >= 3 && IsLetter(path[0]) && path[1] == Char(':') && IsSeparator(path[2]))
        return 3;
    if (path.size() < 3 || !IsSeparator(path[0]) || !IsSeparator(path[1]))
        return 0;
    // "\\?\..." and "\\.\...": the next component names the volume or device ("C:",
    // "Volume{...}", "HarddiskVolume1"); "UNC" is followed by a server and a share.
    if ((path[2] == Char('?') || path[2] == Char('.')) && path.size() > 3 && IsSeparator(path[3]))
    {
        const std::size_t end = ComponentEnd(path, 4);
        const std::basic_string<Char> first = path.substr(4, end - 4);
        const bool unc = first.size() == 3 && (first[0] | 0x20) == Char('u') &&
                         (first[1] | 0x20) == Char('n') && (first[2] | 0x20) == Char('c');
        if (!unc)
            return PastComponent(path, 4);
        const std::size_t server = PastComponent(path, 8);
        if (server == 0 || server >= path.size())
            return 0;
        return PastComponent(path, server);
    }
    // "\\server\share".
    const std::size_t server = PastComponent(path, 2);
    if (server == 0 || server >= path.size())
        return 0;
    return PastComponent(path, server);
}
} // namespace

std::size_t WindowsRootLength(const std::string& path)
{
    return RootLength(path);
}

std::size_t WindowsRootLength(const std::wstring& path)
{
    return RootLength(path);
}

bool SplitWindowsPath(const std::string& path, std::string& folder, std::string& name)
{
    const std::size_t root = RootLength(path);
    // "\\server" alone, or "\\?\UNC\server": a share's name without the share.
    if (root == 0 && path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))
        return false;
    const std::size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos || slash + 1 == path.size() || slash + 1 < root)
        return false;
    folder = slash + 1 == root ? path.substr(0, root) : path.substr(0, slash);
    if (folder.empty())
        folder = path.substr(0, 1); // "\x": the current drive's top folder
    name = path.substr(slash + 1);
    return true;
}
} // namespace FileSystemHelper
