#include "WinePrefix.h"

#include "Installation.h"

#include <shlobj.h>
#include <stdexcept>
#include <string>
#include <windows.h>

namespace CorvaneTest
{
namespace
{
const wchar_t* const shellFolders =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const wchar_t* const systemEnvironment =
    L"System\\CurrentControlSet\\Control\\Session Manager\\Environment";
const wchar_t* const commonAppData = L"Common AppData";
const wchar_t* const variable = L"CORVANE_TEST_PROGRAMDATA";
const wchar_t* const redirected = L"%CORVANE_TEST_PROGRAMDATA%";

// A string value of a key below HKEY_LOCAL_MACHINE, or empty.
std::wstring ReadValue(const wchar_t* key, const wchar_t* name, DWORD* type = nullptr)
{
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD valueType = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name,
                       RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &valueType, value,
                       &size) != ERROR_SUCCESS)
        return {};
    if (type)
        *type = valueType;
    return value;
}

void WriteValue(const wchar_t* key, const wchar_t* name, DWORD type, const std::wstring& value)
{
    const LSTATUS status =
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, name, type, value.c_str(),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS)
        throw std::runtime_error("cannot configure the Wine prefix: error " +
                                 std::to_string(status));
}

// The all-users data folder as the prefix resolves it now.
std::wstring CurrentProgramData()
{
    wchar_t path[MAX_PATH] = {};
    if (FAILED(
            ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)))
        return L"C:\\ProgramData";
    return path;
}

// Wine starts its desktop process (explorer.exe /desktop) on demand, from the first process that
// needs the window system, and hands it that process's standard error. Started by a program
// under test (loading msi.dll is enough), it would hold the program's output pipes, which a test
// reads to their end, open for as long as this process keeps the desktop in use, and the test
// would wait for them forever. So this process brings the desktop up first, its standard handles
// on NUL while it does, and then keeps it in use itself.
void StartDesktop()
{
    const HANDLE nul =
        ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (nul == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open NUL");
    const DWORD kinds[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE saved[3] = {};
    for (int i = 0; i < 3; ++i)
    {
        saved[i] = ::GetStdHandle(kinds[i]);
        ::SetStdHandle(kinds[i], nul);
    }
    const HWND desktop = ::GetDesktopWindow();
    for (int i = 0; i < 3; ++i)
        ::SetStdHandle(kinds[i], saved[i]);
    ::CloseHandle(nul);
    if (!desktop)
        throw std::runtime_error("cannot start Wine's desktop");
}

bool Prepare()
{
    if (!RunningOnWine())
        return false;
    StartDesktop();
    DWORD type = 0;
    if (ReadValue(shellFolders, commonAppData, &type) != redirected || type != REG_EXPAND_SZ)
    {
        WriteValue(systemEnvironment, variable, REG_SZ, CurrentProgramData());
        WriteValue(shellFolders, commonAppData, REG_EXPAND_SZ, redirected);
    }
    // Processes started before the prefix was prepared lack the default.
    if (::GetEnvironmentVariableW(variable, nullptr, 0) == 0)
    {
        std::wstring fallback = ReadValue(systemEnvironment, variable);
        ::SetEnvironmentVariableW(variable,
                                  fallback.empty() ? L"C:\\ProgramData" : fallback.c_str());
    }
    return true;
}
} // namespace

bool PrepareWinePrefix()
{
    static const bool underWine = Prepare();
    return underWine;
}
} // namespace CorvaneTest
