#pragma once

// The threat-scanner library's exports as one table, and the one place that names them.
#include "ThreatScanner/ThreatScanner.h"

#include <type_traits>

namespace ThreatScanner
{
// Every export of the library, typed.
struct Exports
{
    ThreatScanner::Initialize* Initialize = nullptr;
    ThreatScanner::InitializeEx* InitializeEx = nullptr;
    ThreatScanner::Uninitialize* Uninitialize = nullptr;
    ThreatScanner::CreateInstance* CreateInstance = nullptr;
    ThreatScanner::DestroyInstance* DestroyInstance = nullptr;
    ThreatScanner::SetIntOption* SetIntOption = nullptr;
    ThreatScanner::SetScanCallback2* SetScanCallback2 = nullptr;
    ThreatScanner::SetExtCallback* SetExtCallback = nullptr;
    ThreatScanner::ScanObject* ScanObject = nullptr;
    ThreatScanner::ScanPath* ScanPath = nullptr;
    ThreatScanner::GetDatabaseInformation* GetDatabaseInformation = nullptr;
};

// Fills the table: find takes an export's name and returns its address, or throws when the
// library has no such export.
template <typename Find> Exports BindExports(Find&& find)
{
    Exports exports;
    const auto bind = [&find](auto& slot, const char* name)
    { slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(find(name)); };
    bind(exports.Initialize, "ThreatScanner_Initialize");
    bind(exports.InitializeEx, "ThreatScanner_InitializeEx");
    bind(exports.Uninitialize, "ThreatScanner_Uninitialize");
    bind(exports.CreateInstance, "ThreatScanner_CreateInstance");
    bind(exports.DestroyInstance, "ThreatScanner_DestroyInstance");
    bind(exports.SetIntOption, "ThreatScanner_SetIntOption");
    bind(exports.SetScanCallback2, "ThreatScanner_SetScanCallback2");
    bind(exports.SetExtCallback, "ThreatScanner_SetExtCallback");
    bind(exports.ScanObject, "ThreatScanner_ScanObject");
    bind(exports.ScanPath, "ThreatScanner_ScanPath");
    bind(exports.GetDatabaseInformation, "ThreatScanner_GetDatabaseInformation");
    return exports;
}
} // namespace ThreatScanner
