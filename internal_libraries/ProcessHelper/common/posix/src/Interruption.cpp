#include "ProcessHelper/Interruption.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <utility>

namespace ProcessHelper
{
namespace
{
// The write end of the pipe the handler wakes the watching thread through; writing to a pipe is
// one of the few things a signal handler may do.
std::atomic<int> wakeEnd{-1};

extern "C" void OnSignal(int)
{
    const int saved = errno;
    const char byte = 'i';
    const int fd = wakeEnd.load();
    if (fd >= 0)
        (void)!::write(fd, &byte, 1);
    errno = saved;
}
} // namespace

struct Interruption::State
{
    std::function<void()> onInterrupt;
    int pipe[2] = {-1, -1};
    std::atomic<bool> interrupted{false};
    struct sigaction previousInterrupt
    {
    };
    struct sigaction previousTerminate
    {
    };
    std::thread watcher;

    void Watch()
    {
        for (;;)
        {
            char byte = 0;
            const ssize_t count = ::read(pipe[0], &byte, 1);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0 || byte == 'q')
                return;
            if (!interrupted.exchange(true))
                onInterrupt();
        }
    }
};

Interruption::Interruption(std::function<void()> onInterrupt) : state(std::make_unique<State>())
{
    state->onInterrupt = std::move(onInterrupt);
    if (::pipe2(state->pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("Couldn't create the interruption pipe");
    state->watcher = std::thread(&State::Watch, state.get());
    wakeEnd = state->pipe[1];
    // The handler is reset when it runs: a second signal ends the process. Interrupted system
    // calls go on, so that no read of the scan fails because of the first one. A signal the
    // process was started to ignore (a background job's SIGINT) stays ignored.
    struct sigaction action
    {
    };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    for (const auto& [number, previous] : {std::make_pair(SIGINT, &state->previousInterrupt),
                                           std::make_pair(SIGTERM, &state->previousTerminate)})
    {
        if (::sigaction(number, nullptr, previous) == 0 && previous->sa_handler != SIG_IGN)
            ::sigaction(number, &action, nullptr);
    }
}

Interruption::~Interruption()
{
    ::sigaction(SIGINT, &state->previousInterrupt, nullptr);
    ::sigaction(SIGTERM, &state->previousTerminate, nullptr);
    wakeEnd = -1;
    const char byte = 'q';
    while (::write(state->pipe[1], &byte, 1) < 0 && errno == EINTR)
    {
    }
    state->watcher.join();
    ::close(state->pipe[0]);
    ::close(state->pipe[1]);
}

bool Interruption::Interrupted() const
{
    return state->interrupted.load();
}
} // namespace ProcessHelper
