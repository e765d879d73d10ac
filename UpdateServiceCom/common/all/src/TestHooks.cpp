// The test build's kill points, set through an export of their own.
#include "TestHooks.h"

#include "Export.h"
#include "Platform.h"

namespace
{
int killAt = 0;
bool exchangeAllowed = true;
} // namespace

// Makes the library die at the given step (0: never) and says whether folders may be swapped in
// one step or must be moved one after the other.
UPDSDK_EXPORT void UpdSdkTestHooks(int step, int exchange)
{
    killAt = step;
    exchangeAllowed = exchange != 0;
}

namespace UpdateServiceCom::TestHooks
{
void KillPoint(Step step)
{
    if (step == killAt)
        Platform::KillThisProcess();
}

bool ExchangeAllowed()
{
    return exchangeAllowed;
}
} // namespace UpdateServiceCom::TestHooks
