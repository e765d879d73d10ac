#include "ExceptionHelper/ComError.h"

// There is no system message table here, so every COM error text is its fallback form.
_com_error::_com_error(HRESULT hr, std::shared_ptr<IErrorInfo> errorInfo)
    : hr(hr), errorInfo(std::move(errorInfo))
{
}

const wchar_t* _com_error::ErrorMessage() const
{
    if (!message)
        message = std::make_shared<const std::wstring>(ExceptionHelper::ComErrorFallbackText(hr));
    return message->c_str();
}
