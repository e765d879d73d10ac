#include "DefinitionsSet/DefinitionsSet.h"

namespace DefinitionsSet
{
std::vector<std::string> FilesToLoad(const std::string& folder)
{
    // libclamav's folder loader reads the definitions files of the folder in load order itself.
    return {folder};
}
} // namespace DefinitionsSet
