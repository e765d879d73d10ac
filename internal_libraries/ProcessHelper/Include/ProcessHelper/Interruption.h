#pragma once

#include <functional>
#include <memory>

namespace ProcessHelper
{
// While it lives, the first SIGINT or SIGTERM (on Windows: Ctrl+C, Ctrl+Break, closing the
// console, logging off or shutting down) does not end the process: it calls onInterrupt once, on
// a thread of its own, and Interrupted() holds from then on. A second one ends the process the
// usual way. A signal the process was started to ignore (SIGINT of a background job) stays
// ignored. When the console is being closed, Windows ends the process as soon as the handler
// returns, so there the handler waits (up to four and a half seconds) until the object is gone.
// One object at a time.
class Interruption
{
public:
    explicit Interruption(std::function<void()> onInterrupt);
    ~Interruption();
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    bool Interrupted() const;

    struct State;

private:
    std::unique_ptr<State> state;
};
} // namespace ProcessHelper
