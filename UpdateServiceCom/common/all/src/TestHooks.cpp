// The test build's kill points, set through an export of their own.
#include "TestHooks.h"

#include <csignal>

namespace
{
int killAt = 0;
bool exchangeAllowed = true;
} // namespace

// Makes the library die at the given step (0: never) and says whether folders may be swapped in
// one step or must be moved one after the other.
extern "C" __attribute__((visibility("default"))) void UpdSdkTestHooks(int step, int exchange)
{
    killAt = step;
    exchangeAllowed = exchange != 0;
}

namespace UpdateServiceCom::TestHooks
{
void KillPoint(Step step)
{
    if (step == killAt)
        std::raise(SIGKILL);
}

bool ExchangeAllowed()
{
    return exchangeAllowed;
}
} // namespace UpdateServiceCom::TestHooks
