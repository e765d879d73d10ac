#include "FileSystemHelper/PrivateAccess.h"

#include <sddl.h>
#include <vector>

namespace FileSystemHelper
{
PSECURITY_DESCRIPTOR PrivateSecurity(bool folder)
{
    HANDLE token = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    std::vector<unsigned char> buffer(256);
    DWORD size = 0;
    bool known = ::GetTokenInformation(token, TokenUser, buffer.data(),
                                       static_cast<DWORD>(buffer.size()), &size) != 0;
    if (!known && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER)
    {
        buffer.resize(size);
        known = ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != 0;
    }
    ::CloseHandle(token);
    wchar_t* user = nullptr;
    if (!known ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &user))
        return nullptr;
    const std::wstring inherit = folder ? L"OICI" : L"";
    std::wstring sddl = L"D:P";
    for (const std::wstring& sid :
         {std::wstring(L"S-1-5-18"), std::wstring(L"S-1-5-32-544"), std::wstring(user)})
        sddl += L"(A;" + inherit + L";0x1f01ff;;;" + sid + L")";
    sddl += L"(A;" + inherit + L";0x20000;;;S-1-3-4)";
    ::LocalFree(user);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return nullptr;
    return descriptor;
}

bool MakePrivate(HANDLE object, bool folder)
{
    PSECURITY_DESCRIPTOR descriptor = PrivateSecurity(folder);
    if (!descriptor)
        return false;
    const bool secured =
        ::SetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, descriptor) != 0;
    ::LocalFree(descriptor);
    return secured;
}

bool CreatePrivateDirectory(const std::wstring& path)
{
    SECURITY_ATTRIBUTES security{sizeof security, PrivateSecurity(true), FALSE};
    if (!security.lpSecurityDescriptor)
        return false;
    const bool created = ::CreateDirectoryW(path.c_str(), &security) != 0;
    ::LocalFree(security.lpSecurityDescriptor);
    return created;
}
} // namespace FileSystemHelper
