#include "ExceptionHelper/LastError.h"

#include <cerrno>

namespace ExceptionHelper
{
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
