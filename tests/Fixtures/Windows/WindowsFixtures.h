#pragma once

// Helpers of the Windows tests that use the fixtures made at build time: the installer packages
// of the test products (the signed test programs are in SignedFiles.h).

#include <stdexcept>
#include <string>

// clang-format off
#include <windows.h>
// clang-format on

namespace CorvaneTest::Windows
{
// A path that the build wrote down as the host saw it. A cross build on a Unix host writes Unix
// paths, which Wine reaches through its drive Z: (the host's root folder).
inline std::wstring HostPath(const std::string& path)
{
    std::wstring wide(path.begin(), path.end());
    if (!wide.empty() && wide.front() == L'/')
    {
        wide.insert(0, L"Z:");
        for (wchar_t& c : wide)
            if (c == L'/')
                c = L'\\';
    }
    return wide;
}

// Runs a command line and waits for it; returns its exit code.
inline DWORD RunAndWait(std::wstring commandLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        throw std::runtime_error("cannot start a program");
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

// A product installed from an installer package with the system's installer, silently, for the
// lifetime of the object; uninstalled at the end.
class InstalledProduct
{
public:
    explicit InstalledProduct(const std::string& package) : package(HostPath(package))
    {
        if (!Succeeded(RunAndWait(L"msiexec.exe /i \"" + this->package + L"\" /qn")))
            throw std::runtime_error("cannot install " + package);
    }
    InstalledProduct(const InstalledProduct&) = delete;
    InstalledProduct& operator=(const InstalledProduct&) = delete;
    ~InstalledProduct()
    {
        if (!removed)
            Remove();
    }

    // Removes the product now, with the given properties ("NAME=value ..."); true when it went.
    bool Remove(const std::wstring& properties = L"")
    {
        removed = true;
        return Succeeded(
            RunAndWait(L"msiexec.exe /x \"" + package + L"\" /qn " + properties));
    }

private:
    // Installed, or installed and asking for a restart.
    static bool Succeeded(DWORD exitCode)
    {
        return exitCode == ERROR_SUCCESS || exitCode == ERROR_SUCCESS_REBOOT_REQUIRED;
    }

    std::wstring package;
    bool removed = false;
};
} // namespace CorvaneTest::Windows
