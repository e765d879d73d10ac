#include "COMHelper/CoInitializeGuard.h"

namespace COMHelper::Detail
{
// There is no COM here: initialisation succeeds and does nothing.
void MultiThreaded::Init() {}

void MultiThreaded::Uninit() {}
} // namespace COMHelper::Detail
