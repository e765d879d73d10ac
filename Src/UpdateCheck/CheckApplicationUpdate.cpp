#include "Jobs.h"

namespace CorvaneCommandLineScanner
{
// The update check client is not wired up yet.
void CheckApplicationUpdate() {}
} // namespace CorvaneCommandLineScanner
