#include "COMHelper/CoInitializeGuard.h"

#include "ExceptionHelper/Exception.h"

#include <objbase.h>

namespace COMHelper::Detail
{
// S_FALSE (already initialised in this apartment) counts as success and, like S_OK, is paired
// with one CoUninitialize. A thread in another apartment fails with RPC_E_CHANGED_MODE.
void MultiThreaded::Init()
{
    const HRESULT result = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(result))
        BOOST_THROW_EXCEPTION(ExceptionHelper::Com(_com_error(result)));
}

void MultiThreaded::Uninit()
{
    ::CoUninitialize();
}
} // namespace COMHelper::Detail
