// The Windows half of the engine tests' harness.
#include "EngineHarness.h"

#include <stdexcept>
#include <windows.h>

namespace EngineTest
{
void* EngineSymbol(const char* name)
{
    static const HMODULE library = []
    {
        const HMODULE loaded = ::LoadLibraryW(Wide(ENGINE_LIBRARY_PATH).c_str());
        if (!loaded)
            throw std::runtime_error("cannot load scan.dll: error " +
                                     std::to_string(::GetLastError()));
        return loaded;
    }();
    return reinterpret_cast<void*>(::GetProcAddress(library, name));
}
} // namespace EngineTest

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
