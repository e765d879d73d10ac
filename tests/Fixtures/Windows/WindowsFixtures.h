#pragma once

// Helpers of the Windows tests that use the fixtures made at build time: the signed test
// programs with their test root, and the installer packages of the test products.

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

// clang-format off
#include <windows.h>
#include <wincrypt.h>
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

// True when the program runs under Wine rather than on Windows.
inline bool RunningOnWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

#ifdef CORVANE_SIGNED_FILES_FOLDER
// A program signed at build time (see MakeSignedFiles.cmake), by its name without ".exe".
inline std::wstring SignedFile(const std::string& name)
{
    return HostPath(CORVANE_SIGNED_FILES_FOLDER "/" + name + ".exe");
}

inline std::wstring UnsignedProgram()
{
    return HostPath(CORVANE_UNSIGNED_PROGRAM);
}

// The test root of the signed programs, trusted by the whole machine (the local machine's
// "Root" store, which needs no confirmation from the user) while the object lives.
class TrustedTestRoot
{
public:
    TrustedTestRoot()
    {
        std::ifstream file(HostPath(CORVANE_SIGNED_FILES_FOLDER "/root.cer").c_str(),
                           std::ios::binary);
        const std::vector<unsigned char> der((std::istreambuf_iterator<char>(file)), {});
        store =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
        if (der.empty() || !store ||
            !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, &root))
        {
            if (store)
                CertCloseStore(store, 0);
            throw std::runtime_error("cannot place the test root in the certificate store");
        }
    }
    TrustedTestRoot(const TrustedTestRoot&) = delete;
    TrustedTestRoot& operator=(const TrustedTestRoot&) = delete;
    ~TrustedTestRoot()
    {
        // Deleting also frees the context.
        CertDeleteCertificateFromStore(root);
        CertCloseStore(store, 0);
    }

private:
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT root = nullptr;
};
#endif

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
    ~InstalledProduct() { RunAndWait(L"msiexec.exe /x \"" + package + L"\" /qn"); }

private:
    // Installed, or installed and asking for a restart.
    static bool Succeeded(DWORD exitCode)
    {
        return exitCode == ERROR_SUCCESS || exitCode == ERROR_SUCCESS_REBOOT_REQUIRED;
    }

    std::wstring package;
};
} // namespace CorvaneTest::Windows
