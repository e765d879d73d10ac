#pragma once

namespace COMHelper
{
namespace Detail
{
struct MultiThreaded
{
    // Initialises COM for the calling thread in the multithreaded apartment. Throws
    // ExceptionHelper::Com on failure.
    static void Init();
    static void Uninit();
};
} // namespace Detail

// COM usable on this thread from construction to destruction; create and destroy it on the
// same thread.
class CoInitializeGuard
{
public:
    CoInitializeGuard() { Detail::MultiThreaded::Init(); }
    ~CoInitializeGuard() { Detail::MultiThreaded::Uninit(); }
    CoInitializeGuard(const CoInitializeGuard&) = delete;
    CoInitializeGuard& operator=(const CoInitializeGuard&) = delete;
};
} // namespace COMHelper
