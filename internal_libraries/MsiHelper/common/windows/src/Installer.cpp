// The installer database of the system, through msi.dll. Its two functions are bound by their
// export ordinals, which the installer keeps fixed across releases, so the program needs no
// import library for it and starts even where msi.dll cannot be loaded (then no product is
// installed).
#include "MsiHelper/Detail/Installer.h"

#include <windows.h>

namespace MsiHelper::Detail
{
namespace
{
using EnumProductsFunction = UINT(WINAPI*)(DWORD index, LPWSTR productCode);
using GetProductInfoFunction = UINT(WINAPI*)(LPCWSTR productCode, LPCWSTR property, LPWSTR value,
                                             LPDWORD length);

// Export ordinals of MsiEnumProductsW and MsiGetProductInfoW.
constexpr WORD enumProductsOrdinal = 45;
constexpr WORD getProductInfoOrdinal = 70;

constexpr UINT moreData = ERROR_MORE_DATA;

struct Installer
{
    EnumProductsFunction enumProducts = nullptr;
    GetProductInfoFunction getProductInfo = nullptr;
};

template <typename Function> Function Bind(HMODULE module, WORD ordinal)
{
    // GetProcAddress hands out a generic function pointer; the casts name the real type.
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

// Loaded once per process (thread-safe) and kept until the process ends: the functions may be
// called at any time, also while static objects are destroyed.
const Installer& Functions()
{
    static const Installer installer = []
    {
        Installer bound;
        // From the system folder only: msi.dll is not among the libraries the system always
        // takes from there.
        const HMODULE module = LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!module)
            return bound;
        bound.enumProducts = Bind<EnumProductsFunction>(module, enumProductsOrdinal);
        bound.getProductInfo = Bind<GetProductInfoFunction>(module, getProductInfoOrdinal);
        return bound;
    }();
    return installer;
}
} // namespace

std::uint32_t EnumProducts(std::uint32_t index, wchar_t* code)
{
    const Installer& installer = Functions();
    if (!installer.enumProducts)
        return InstallerBadConfiguration;
    return installer.enumProducts(index, code);
}

std::uint32_t GetProductInfo(const wchar_t* code, const wchar_t* property, wchar_t* buffer,
                             std::uint32_t* length)
{
    const Installer& installer = Functions();
    if (!installer.getProductInfo)
    {
        *length = 0;
        return InstallerBadConfiguration;
    }
    DWORD size = *length;
    const UINT result = installer.getProductInfo(code, property, buffer, &size);
    // The installer reports the length on success, and on a buffer that is too small; on any
    // other failure what it leaves in the length is not a length.
    *length = result == InstallerSuccess || result == moreData ? size : 0;
    return result;
}
} // namespace MsiHelper::Detail
