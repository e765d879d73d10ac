#pragma once

// The COM error record. Windows provides it with compiler COM support; elsewhere this small
// record of an HRESULT and an optional error object stands in for it with the same interface.
#ifdef _WIN32
#include <comdef.h>
#include <string>
#include <type_traits>

// The record's text is wide only in a UNICODE build (the support libraries define it).
static_assert(std::is_same_v<TCHAR, wchar_t>, "COM error texts need a UNICODE build");
#else
#include <cstdint>
#include <memory>
#include <string>

using HRESULT = std::int32_t;

// Opaque error object attached to a COM error; there is no such object on this platform.
struct IErrorInfo;

class _com_error
{
public:
    explicit _com_error(HRESULT hr, std::shared_ptr<IErrorInfo> errorInfo = {});

    HRESULT Error() const { return hr; }
    IErrorInfo* ErrorInfo() const { return errorInfo.get(); }

    // The error's text, computed on first use and kept with the record.
    const wchar_t* ErrorMessage() const;

private:
    HRESULT hr;
    std::shared_ptr<IErrorInfo> errorInfo;
    mutable std::shared_ptr<const std::wstring> message;
};
#endif

namespace ExceptionHelper
{
// Text of a COM error when the system has no message for it: "IDispatch error #n" for the
// dispatch range above 0x80040200, otherwise "Unknown error 0x..." in upper-case hexadecimal.
std::wstring ComErrorFallbackText(HRESULT hr);
} // namespace ExceptionHelper
