#include "ExceptionHelper/LastError.h"

#include <windows.h>

namespace ExceptionHelper
{
unsigned long LastError()
{
    return ::GetLastError();
}

void SetLastError(unsigned long code)
{
    ::SetLastError(code);
}
} // namespace ExceptionHelper
