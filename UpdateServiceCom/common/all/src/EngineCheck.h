#pragma once

#include <filesystem>

namespace UpdateServiceCom
{
// Loads the definitions in folder with the engine's own loader, as the engine does when it
// starts, and throws Failure (DefinitionsRejected) when the engine would not start on them, so
// that such a set never replaces working definitions.
void CheckEngineLoads(const std::filesystem::path& folder);
} // namespace UpdateServiceCom
