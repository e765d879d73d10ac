#pragma once

// A stand-in for the COM error record of Windows: an HRESULT and an optional error object, with
// the same interface.
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
