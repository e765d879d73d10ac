#pragma once

namespace ExceptionHelper
{
// The calling thread's last system error code (GetLastError on Windows). On other platforms the
// support libraries record a Windows error number where one clearly fits, else errno.
unsigned long LastError();
void SetLastError(unsigned long code);

// Windows error numbers used for errno values that have a clear counterpart.
enum : unsigned long
{
    ErrorFileNotFound = 2,
    ErrorAccessDenied = 5,
    ErrorModuleNotFound = 126,
    ErrorProcedureNotFound = 127,
};

// The Windows number for an errno value where one clearly fits, else the errno value itself.
unsigned long ErrorFromErrno(int errnoValue);
} // namespace ExceptionHelper
