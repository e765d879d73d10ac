/*
 * Stand-in for Windows 10's bcryptprimitives.dll, for tests under Wine 8 only, which lacks it.
 * Rust's standard library takes its random numbers from ProcessPrng there; this one draws them
 * from the system generator that older Windows versions and Wine provide. Never shipped: the
 * Windows build needs Windows 10 or later, where the real library exists.
 */
#include <windows.h>

/* bcrypt.h needs the types windows.h declares. */
#include <bcrypt.h>

BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size)
{
    while (size > 0)
    {
        ULONG chunk = size > 0x40000000 ? 0x40000000 : (ULONG)size;
        if (!BCRYPT_SUCCESS(BCryptGenRandom(NULL, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return FALSE;
        data += chunk;
        size -= chunk;
    }
    return TRUE;
}
