#include "ProcessHelper/Interruption.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

namespace ProcessHelper
{
struct Interruption::State
{
    std::function<void()> onInterrupt;
    std::atomic<bool> interrupted{false};
};

namespace
{
// The handler runs on a thread the system starts for it, possibly while the object goes; the
// object is reached only under this lock.
std::mutex handlerLock;
Interruption::State* current = nullptr;

// Set when the object goes: a handler that holds the closing console open waits for it. Never
// closed, so that a handler still waiting never meets a closed handle.
HANDLE Finished()
{
    static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI OnControl(DWORD event)
{
    {
        std::lock_guard<std::mutex> lock(handlerLock);
        if (!current || current->interrupted.exchange(true))
            return FALSE; // the default: the process ends
        current->onInterrupt();
    }
    // The process ends when the handler returns from these.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::WaitForSingleObject(Finished(), 4500);
    return TRUE;
}
} // namespace

Interruption::Interruption(std::function<void()> onInterrupt) : state(std::make_unique<State>())
{
    state->onInterrupt = std::move(onInterrupt);
    const HANDLE finished = Finished();
    if (!finished)
        throw std::runtime_error("Couldn't create the interruption event");
    ::ResetEvent(finished);
    {
        std::lock_guard<std::mutex> lock(handlerLock);
        current = state.get();
    }
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

Interruption::~Interruption()
{
    {
        std::lock_guard<std::mutex> lock(handlerLock);
        current = nullptr;
    }
    ::SetEvent(Finished());
    ::SetConsoleCtrlHandler(OnControl, FALSE);
}

bool Interruption::Interrupted() const
{
    return state->interrupted.load();
}
} // namespace ProcessHelper
