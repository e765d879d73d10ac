#include "ExceptionHelper/LastError.h"

namespace ExceptionHelper
{
namespace
{
thread_local unsigned long lastError = 0;
}

unsigned long LastError()
{
    return lastError;
}

void SetLastError(unsigned long code)
{
    lastError = code;
}
} // namespace ExceptionHelper
