// The Windows half of the engine tests' harness.
#include "EngineHarness.h"

#include <stdexcept>

namespace EngineTest
{
// There is no engine service on Windows yet: the engine always loads in process.
bool EngineService::Enabled()
{
    return false;
}

EngineService::EngineService(const fs::path&, const fs::path&)
{
    throw std::runtime_error("no engine service on this platform");
}

EngineService::~EngineService() = default;

void EngineService::Kill() {}
} // namespace EngineTest
