#include "ExceptionHelper/LastError.h"

#include <cerrno>

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

unsigned long ErrorFromErrno(int errnoValue)
{
    switch (errnoValue)
    {
    case ENOENT:
    case ENOTDIR:
        return ErrorFileNotFound;
    case EACCES:
    case EPERM:
        return ErrorAccessDenied;
    default:
        return static_cast<unsigned long>(errnoValue);
    }
}
} // namespace ExceptionHelper
