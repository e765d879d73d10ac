#include "Scanner/EngineCodeNames.h"
#include "Logger.h"
#include "ThreatScanner/ThreatScanner.h"

#include <utility>

namespace CorvaneCommandLineScanner
{
namespace
{
template <typename Code, std::size_t N>
std::wstring Lookup(const std::pair<Code, const wchar_t*> (&table)[N], Code code)
{
    for (const auto& entry : table)
        if (entry.first == code)
            return entry.second;
    return {};
}

// Names indexed by code, for the tables that run from 0 without gaps.
template <std::size_t N> std::wstring Indexed(const wchar_t* const (&names)[N], std::int32_t code)
{
    if (code < 0 || static_cast<std::size_t>(code) >= N)
        return {};
    return names[code];
}

using namespace ThreatScanner;

const std::pair<std::int32_t, const wchar_t*> resultNames[] = {
    {Stopped, L"Stopped"},
    {NoPlugins, L"NoPlugins"},
    {MaxFiles, L"MaxFiles"},
    {MaxLevels, L"MaxLevels"},
    {MaxBytes, L"MaxBytes"},
    {Failed, L"Failed"},
    {FileOpen, L"FileOpen"},
    {FileCreate, L"FileCreate"},
    {FileSeek, L"FileSeek"},
    {FileRemove, L"FileRemove"},
    {FileCopy, L"FileCopy"},
    {FileRename, L"FileRename"},
    {FileMove, L"FileMove"},
    {FirFind, L"FirFind"},
    {FnInit, L"FnInit"},
    {NoMemory, L"NoMemory"},
    {PathError, L"PathError"},
    {InvalidHandle, L"InvalidHandle"},
    {DisinfectFailed, L"Disinfect"},
    {NotSupported, L"NotSupported"},
    {Param2, L"Param2"},
    {Param3, L"Param3"},
    {Param4, L"Param4"},
    {Param5, L"Param5"},
    {FileRead, L"FileRead"},
    {UtfConversion, L"UtfConversion"},
    {PathAccess, L"PathAccess"},
    {TmpPath, L"TmpPath"},
    {Plugin, L"Plugin"},
    {FileWrite, L"FileWrite"},
    {DbinfoUnavailable, L"DbinfoUnavailable"},
    {LoadingEngine, L"LoadingEngine"},
    {AllocatingEngine, L"AllocatingEngine"},
    {SharedMemMapping, L"SharedMemMapping"},
    {FileInformation, L"FileInformation"},
    {InitRequired, L"InitRequired"},
    {InvalidArgument, L"InvalidArgument"},
    {Busy, L"Busy"},
    {CouldNotSetPriority, L"CouldNotSetPriority"},
    {CouldNotUpdateInstance, L"CouldNotUpdateInstance"},
    {CouldNotInitialize, L"CouldNotInitialize"},
};

const wchar_t* const scanTypeNames[] = {L"Quick", L"Full", L"Custom", L"Boot"};

const wchar_t* const actionNames[] = {
    L"Default",  L"None",     L"Abort",        L"Disinfect",    L"Rename",        L"Delete",
    L"QuarCopy", L"QuarMove", L"QuarCopyArch", L"QuarMoveArch", L"DisinfectOnly", L"Skip"};

const wchar_t* const objectTypeNames[] = {L"File",   L"BootSector",  L"Process", L"RegistryKey",
                                          L"Cookie", L"MimeMessage", L"Stream"};

const wchar_t* const scanStatusNames[] = {
    L"ScanFailed",        L"Clean",      L"Disinfected", L"Infected",     L"Suspicious",
    L"Deleted",           L"Moved",      L"Hidden",      L"UpdateFailed", L"DeletedReboot",
    L"PasswordProtected", L"MovedReboot"};

const wchar_t* const threatTypeNames[] = {L"Virus",   L"Spyware", L"Adware", L"Spam",
                                          L"Rootkit", L"Dialer",  L"App",    L"ArchBomb"};

// In the order the flags text lists them.
const std::pair<std::uint32_t, const wchar_t*> flagNames[] = {
    {FlagModified, L"Modified"},
    {FlagArchive, L"Archive"},
    {FlagPassword, L"Password"},
    {FlagCorrupted, L"Corrupted"},
    {FlagPacked, L"Packed"},
    {FlagTemporary, L"Temporary"},
    {FlagUnkMethod, L"UnkMethod"},
    {FlagHasMacros, L"HasMacros"},
    {FlagUnpacked, L"Unpacked"},
    {FlagMove, L"Move"},
    {FlagIsBootImage, L"IsBootImage"},
    {FlagAdware, L"Adware"},
    {FlagSpyware, L"Spyware"},
    {FlagDialer, L"Dialer"},
    {FlagApp, L"App"},
    {FlagCookie, L"Cookie"},
    {FlagProc, L"Proc"},
    {FlagReg, L"Reg"},
    {FlagFolder, L"Folder"},
    {FlagUnableToRead, L"UnableToRead"},
    {FlagNotUpdatable, L"NotUpdatable"},
    {FlagEncryptedFs, L"EncryptedFs"},
    {FlagContainer, L"Container"},
    {FlagArchBomb, L"ArchBomb"},
    {FlagKeyLogger, L"KeyLogger"},
    {FlagStream, L"Stream"},
};
} // namespace

std::wstring ScanTypeName(std::int32_t scanType)
{
    std::wstring name = Indexed(scanTypeNames, scanType);
    if (name.empty())
        Log(L"Error", "Unknown scan type. Scan type: ", scanType);
    return name;
}

std::wstring EngineResultName(std::int32_t result)
{
    return Lookup(resultNames, result);
}

std::wstring ActionName(std::int32_t action)
{
    return Indexed(actionNames, action);
}

std::wstring ObjectTypeName(std::int32_t objectType)
{
    return Indexed(objectTypeNames, objectType);
}

std::wstring ScanStatusName(std::int32_t scanStatus)
{
    return Indexed(scanStatusNames, scanStatus);
}

std::wstring ThreatTypeName(std::int32_t threatType)
{
    return Indexed(threatTypeNames, threatType);
}

std::wstring ObjectFlagName(std::uint32_t flag)
{
    return Lookup(flagNames, flag);
}

std::wstring ObjectFlagsText(std::uint32_t flags)
{
    std::wstring text;
    for (const auto& entry : flagNames)
    {
        if ((flags & entry.first) == 0)
            continue;
        if (!text.empty())
            text += L';';
        text += entry.second;
    }
    return text;
}
} // namespace CorvaneCommandLineScanner
