// The test build's kill points, set through an export of their own.
#include "TestHooks.h"

#include "Export/Export.h"
#include "Platform.h"
#include "Service.h"

#include <chrono>
#include <thread>

namespace
{
int killAt = 0;
bool exchangeAllowed = true;
int pauseAt = 0;
int pauseMilliseconds = 0;
} // namespace

// Makes the library die at the given step (0: never) and says whether folders may be swapped in
// one step or must be moved one after the other.
CORVANE_EXPORT void UpdSdkTestHooks(int step, int exchange)
{
    killAt = step;
    exchangeAllowed = exchange != 0;
}

// Makes the library stop for a while at the given step (0: never), so that a test can act in the
// middle of an install.
CORVANE_EXPORT void UpdSdkTestPause(int step, int milliseconds)
{
    pauseAt = step;
    pauseMilliseconds = milliseconds;
}

// A service object whose waits are as given, in milliseconds: between two tries of a transfer,
// for files in use, and for scans that load the definitions.
CORVANE_EXPORT UpdateServiceInterface* UpdSdkTestCreate(int retry, int inUse, int readers)
{
    UpdateServiceCom::Pauses pauses;
    pauses.retry = std::chrono::milliseconds(retry);
    pauses.inUse = std::chrono::milliseconds(inUse);
    pauses.readers = std::chrono::milliseconds(readers);
    return UpdateServiceCom::CreateService(pauses);
}

namespace UpdateServiceCom::TestHooks
{
void KillPoint(Step step)
{
    if (step == killAt)
        Platform::KillThisProcess();
    if (step == pauseAt)
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds));
}

bool ExchangeAllowed()
{
    return exchangeAllowed;
}
} // namespace UpdateServiceCom::TestHooks
