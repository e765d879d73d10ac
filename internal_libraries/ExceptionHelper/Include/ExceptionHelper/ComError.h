#pragma once

// The COM error record, _com_error with its HRESULT: Windows provides it with compiler COM
// support; elsewhere the platform half has a small record with the same interface.
#include "ExceptionHelper/ComErrorRecord.h"

#include <string>

namespace ExceptionHelper
{
// Text of a COM error when the system has no message for it: "IDispatch error #n" for the
// dispatch range above 0x80040200, otherwise "Unknown error 0x..." in upper-case hexadecimal.
std::wstring ComErrorFallbackText(HRESULT hr);
} // namespace ExceptionHelper
