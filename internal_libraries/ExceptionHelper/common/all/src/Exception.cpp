#include "ExceptionHelper/Exception.h"
#include "ExceptionHelper/LastError.h"

#include <boost/locale/encoding_utf.hpp>
#include <cwchar>

namespace ExceptionHelper
{
Exception::Exception(const std::string& message) : std::runtime_error(message) {}

Windows::Windows(const std::string& message) : Exception(message)
{
    *this << ErrorInfo(LastError());
}

namespace
{
// The platform's record gives no text when it cannot allocate one.
std::string MessageOf(const _com_error& error)
{
    const wchar_t* text = error.ErrorMessage();
    return boost::locale::conv::utf_to_utf<char>(std::wstring(text ? text : L""));
}
} // namespace

Com::Com(const _com_error& error) : Exception(MessageOf(error))
{
    *this << ErrorInfoCom(error);
}

std::wstring ComErrorFallbackText(HRESULT hr)
{
    const auto code = static_cast<unsigned long>(static_cast<std::uint32_t>(hr));
    wchar_t buffer[32] = {};
    if (code > 0x80040200UL && code <= 0x8004FFFFUL)
        std::swprintf(buffer, 32, L"IDispatch error #%d", static_cast<int>(code - 0x80040200UL));
    else
        std::swprintf(buffer, 32, L"Unknown error 0x%0lX", code);
    return buffer;
}
} // namespace ExceptionHelper
