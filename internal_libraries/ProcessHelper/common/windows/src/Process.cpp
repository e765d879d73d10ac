#include "ProcessHelper/Process.h"

#include "ExceptionHelper/Exception.h"

#include <vector>
#include <windows.h>

namespace ProcessHelper
{
// The buffer starts at MAX_PATH and grows while the system fills it to the brim, so that a long
// path is returned whole rather than cut at the buffer size.
boost::filesystem::path Process::Path(DllHelper::ModuleHandle module)
{
    const DWORD longestPath = 32768;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;)
    {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length =
            ::GetModuleFileNameW(static_cast<HMODULE>(module), buffer.data(), size);
        if (length == 0)
            BOOST_THROW_EXCEPTION(ExceptionHelper::Windows("Couldn't get module file name"));
        if (length < size)
            return std::wstring(buffer.data(), length);
        if (size >= longestPath)
        {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            BOOST_THROW_EXCEPTION(ExceptionHelper::Windows("Couldn't get module file name"));
        }
        buffer.assign(size * 2, L'\0');
    }
}

boost::filesystem::path Process::ModuleOf(const void* address)
{
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &module))
        BOOST_THROW_EXCEPTION(ExceptionHelper::Windows("Couldn't get module file name"));
    return Path(module);
}

std::uint32_t Process::CurrentId()
{
    return ::GetCurrentProcessId();
}
} // namespace ProcessHelper
