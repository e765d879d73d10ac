#pragma once

// The update library's exports as one table, and the one place that names them.
#include "UpdateServiceCom/UpdateServiceInterface.h"

#include <type_traits>

namespace UpdSdk
{
// Every export of the library, typed.
struct Exports
{
    UpdSdk::Create* Create = nullptr;
    UpdSdk::Destroy* Destroy = nullptr;
};

// Fills the table: find takes an export's name and returns its address, or throws when the
// library has no such export.
template <typename Find> Exports BindExports(Find&& find)
{
    Exports exports;
    const auto bind = [&find](auto& slot, const char* name)
    { slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(find(name)); };
    bind(exports.Create, "UpdSdkCreate");
    bind(exports.Destroy, "UpdSdkDestroy");
    return exports;
}
} // namespace UpdSdk
