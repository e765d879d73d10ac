// A threat-scanner library that does what a script file beside it says and records every call
// it receives, for tests that drive the program end to end.
//
// Script (scan.script.json, optional; everything defaults to success and silence):
//   "results":  { "<export without prefix>": code, ... }
//   "database": { "version": n, "releaseTime": seconds } (written even when the export fails)
//   "scans":    [ { "export": "ScanPath" | "ScanObject", "path": "...", "objectType": n,
//                   "result": code, "callbacks": [ record, ... ],
//                   "generate": { "count": n, "infectedEvery": k, "pathPrefix": "..." },
//                   "signal": "<file>", "waitFor": "<file>" } ]
//               The first entry whose given keys all match a scan call applies to it. After
//               its callbacks, "signal" creates the file and "waitFor" waits (at most a minute)
//               until its file exists: a pause point for tests of runs at the same time.
//   "recordCallbacks": false   leaves the callbacks out of the record.
// A callback record names any field of the engine's record ("objectPath", "scanStatus", ...;
// strings may be null, missing ones are null or 0), the action value set before the call
// ("action") and "nullContext": true to pass a null context.
//
// Record (scan.record.jsonl): one JSON object per call, {"call": "<export or Callback>", ...},
// flushed at once.
#include "Export/Export.h"
#include "ProcessHelper/Process.h"
#include "ThreatScanner/ThreatScanner.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/json.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace json = boost::json;

struct CThreatScannerStruct
{
    std::int64_t id = 0;
    ThreatScanner::ScanCallback* callback = nullptr;
    void* context = nullptr;
};

namespace
{
boost::filesystem::path EngineFolder()
{
    return ProcessHelper::Process::ModuleOf(reinterpret_cast<const void*>(&EngineFolder))
        .parent_path();
}

const json::object& Script()
{
    static const json::object script = []
    {
        // By the native (on Windows wide) name, so that a program folder may have any name.
        std::ifstream file(std::filesystem::path((EngineFolder() / "scan.script.json").native()),
                           std::ios::binary);
        if (!file)
            return json::object();
        std::stringstream content;
        content << file.rdbuf();
        return json::parse(content.str()).as_object();
    }();
    return script;
}

json::value Text(const wchar_t* text)
{
    if (!text)
        return nullptr;
    return json::string(boost::locale::conv::utf_to_utf<char>(std::wstring(text)));
}

void Record(json::object call)
{
#ifdef _WIN32
    static std::FILE* file =
        ::_wfopen((EngineFolder() / "scan.record.jsonl").wstring().c_str(), L"ab");
#else
    static std::FILE* file = std::fopen((EngineFolder() / "scan.record.jsonl").c_str(), "ab");
#endif
    if (!file)
        return;
    const std::string line = json::serialize(call) + "\n";
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
}

json::object Call(const char* name, CThreatScannerStruct* instance = nullptr)
{
    json::object call;
    call["call"] = name;
    if (instance)
        call["instance"] = instance->id;
    return call;
}

std::int64_t Number(const json::object& object, const char* key, std::int64_t fallback = 0)
{
    const json::value* value = object.if_contains(key);
    return value && value->is_number() ? value->to_number<std::int64_t>() : fallback;
}

int Result(const char* exportName)
{
    const json::value* results = Script().if_contains("results");
    if (!results || !results->is_object())
        return 0;
    return static_cast<int>(Number(results->as_object(), exportName));
}

// A callback record's strings, kept alive for the duration of the call.
struct Strings
{
    std::wstring values[8];

    const wchar_t* Set(int index, const json::object& record, const char* key)
    {
        const json::value* value = record.if_contains(key);
        if (!value || !value->is_string())
            return nullptr;
        values[index] = boost::locale::conv::utf_to_utf<wchar_t>(std::string(value->as_string()));
        return values[index].c_str();
    }
};

bool RecordCallbacks()
{
    const json::value* value = Script().if_contains("recordCallbacks");
    return !value || !value->is_bool() || value->as_bool();
}

void Deliver(CThreatScannerStruct* instance, _ScanCbkParams& params, int action, bool nullContext)
{
    if (!instance->callback)
        return;
    const int before = action;
    void* context = nullContext ? nullptr : instance->context;
    instance->callback(&params, &action, context);
    if (!RecordCallbacks())
        return;
    json::object call = Call("Callback", instance);
    call["objectPath"] = Text(params.objectPath);
    call["scanStatus"] = params.scanStatus;
    call["contextNull"] = context == nullptr;
    call["actionBefore"] = before;
    call["actionAfter"] = action;
    Record(std::move(call));
}

void DeliverRecord(CThreatScannerStruct* instance, const json::object& record)
{
    Strings strings;
    _ScanCbkParams params = {};
    params.size = sizeof(_ScanCbkParams);
    params.objectType = static_cast<std::int32_t>(Number(record, "objectType"));
    params.objectPath = strings.Set(0, record, "objectPath");
    params.parentContainers = strings.Set(1, record, "parentContainers");
    params.innerObject = strings.Set(2, record, "innerObject");
    params.objectFlags = static_cast<std::uint32_t>(Number(record, "objectFlags"));
    params.archiveFlags = static_cast<std::int32_t>(Number(record, "archiveFlags"));
    params.scanStatus = static_cast<std::int32_t>(Number(record, "scanStatus"));
    params.scanStatusFlags = static_cast<std::int32_t>(Number(record, "scanStatusFlags"));
    params.threatType = static_cast<std::int32_t>(Number(record, "threatType"));
    params.processId = static_cast<std::uint32_t>(Number(record, "processId"));
    params.registryKey = static_cast<std::uint32_t>(Number(record, "registryKey"));
    params.threatName = strings.Set(3, record, "threatName");
    params.sysObjParentContainers = strings.Set(4, record, "sysObjParentContainers");
    params.sysObjInnerObject = strings.Set(5, record, "sysObjInnerObject");
    params.tempPath = strings.Set(6, record, "tempPath");
    params.depthLevel = static_cast<std::uint32_t>(Number(record, "depthLevel"));
    params.verifiedSigner = strings.Set(7, record, "verifiedSigner");
    // An older engine's shorter record, which has no signer field.
    params.size = static_cast<std::uint32_t>(Number(record, "size", sizeof(_ScanCbkParams)));
    const json::value* nullContext = record.if_contains("nullContext");
    Deliver(instance, params, static_cast<int>(Number(record, "action")),
            nullContext && nullContext->is_bool() && nullContext->as_bool());
}

// Many objects without scanning work: every k-th one is infected, and its outcome (deleted)
// follows at once.
void DeliverGenerated(CThreatScannerStruct* instance, const json::object& generate)
{
    const std::int64_t count = Number(generate, "count");
    const std::int64_t infectedEvery = Number(generate, "infectedEvery");
    const json::value* prefixValue = generate.if_contains("pathPrefix");
    const std::wstring prefix =
        prefixValue && prefixValue->is_string()
            ? boost::locale::conv::utf_to_utf<wchar_t>(std::string(prefixValue->as_string()))
            : L"object";
    const std::wstring threatName = L"Generated.Threat";
    for (std::int64_t index = 0; index < count; ++index)
    {
        const std::wstring path = prefix + std::to_wstring(index);
        _ScanCbkParams params = {};
        params.size = sizeof(_ScanCbkParams);
        params.objectPath = path.c_str();
        params.depthLevel = 1;
        const bool infected = infectedEvery > 0 && index % infectedEvery == 0;
        params.scanStatus = infected ? ThreatScanner::StatusInfected : ThreatScanner::StatusClean;
        params.threatName = infected ? threatName.c_str() : nullptr;
        Deliver(instance, params, 0, false);
        if (infected)
        {
            params.scanStatus = ThreatScanner::StatusDeleted;
            Deliver(instance, params, 0, false);
        }
    }
}

// Runs the script entry for a scan call and returns its result.
int RunScan(CThreatScannerStruct* instance, const char* exportName, const wchar_t* path,
            int objectType)
{
    const json::value* scans = Script().if_contains("scans");
    if (!scans || !scans->is_array())
        return Result(exportName);
    const json::value pathText = Text(path);
    for (const json::value& entryValue : scans->as_array())
    {
        if (!entryValue.is_object())
            continue;
        const json::object& entry = entryValue.as_object();
        const json::value* wantedExport = entry.if_contains("export");
        const json::value* wantedPath = entry.if_contains("path");
        if (wantedExport && *wantedExport != json::value(exportName))
            continue;
        if (wantedPath && *wantedPath != pathText)
            continue;
        if (entry.contains("objectType") && Number(entry, "objectType") != objectType)
            continue;
        if (const json::value* callbacks = entry.if_contains("callbacks"))
            for (const json::value& record : callbacks->as_array())
                DeliverRecord(instance, record.as_object());
        if (const json::value* generate = entry.if_contains("generate"))
            DeliverGenerated(instance, generate->as_object());
        if (const json::value* signal = entry.if_contains("signal"))
            std::ofstream(std::string(signal->as_string()), std::ios::binary) << "reached";
        if (const json::value* waitFor = entry.if_contains("waitFor"))
            for (int waited = 0;
                 waited < 6000 && !boost::filesystem::exists(std::string(waitFor->as_string()));
                 ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return entry.contains("result") ? static_cast<int>(Number(entry, "result"))
                                        : Result(exportName);
    }
    return Result(exportName);
}

bool OtherBytesZero(const _InitializeParams& params)
{
    if (params.reserved4 != 0 || params.reserved8 != nullptr)
        return false;
    for (const std::uint8_t byte : params.reserved44)
        if (byte != 0)
            return false;
    for (const std::uint8_t byte : params.reserved128)
        if (byte != 0)
            return false;
    return true;
}
} // namespace

CORVANE_EXPORT int ThreatScanner_Initialize(const wchar_t* folder, const wchar_t* second)
{
    json::object call = Call("Initialize");
    call["folder"] = Text(folder);
    call["second"] = Text(second);
    Record(std::move(call));
    return Result("Initialize");
}

CORVANE_EXPORT int ThreatScanner_InitializeEx(const wchar_t* folder, const wchar_t* second,
                                              wchar_t* smartDbPath, _InitializeParams* params)
{
    json::object call = Call("InitializeEx");
    call["folder"] = Text(folder);
    call["second"] = Text(second);
    call["smartDbPath"] = Text(smartDbPath);
    if (params)
    {
        json::object fields;
        fields["size"] = params->size;
        fields["programFolder"] = Text(params->programFolder);
        fields["quarantineFolder"] = Text(params->quarantineFolder);
        fields["tempFolder"] = Text(params->tempFolder);
        fields["value40"] = params->value40;
        fields["value116"] = params->value116;
        fields["instanceGuid"] = Text(params->instanceGuid);
        fields["otherBytesZero"] = OtherBytesZero(*params);
        call["params"] = std::move(fields);
    }
    else
    {
        call["params"] = nullptr;
    }
    Record(std::move(call));
    return Result("InitializeEx");
}

CORVANE_EXPORT int ThreatScanner_Uninitialize()
{
    Record(Call("Uninitialize"));
    return Result("Uninitialize");
}

CORVANE_EXPORT int ThreatScanner_CreateInstance(CThreatScannerStruct** instance)
{
    static std::int64_t lastId = 0;
    const int result = Result("CreateInstance");
    json::object call = Call("CreateInstance");
    if (result == 0 && instance)
    {
        *instance = new CThreatScannerStruct;
        (*instance)->id = ++lastId;
        call["instance"] = (*instance)->id;
    }
    Record(std::move(call));
    return result;
}

CORVANE_EXPORT int ThreatScanner_DestroyInstance(CThreatScannerStruct* instance)
{
    Record(Call("DestroyInstance", instance));
    delete instance;
    return Result("DestroyInstance");
}

CORVANE_EXPORT int ThreatScanner_SetIntOption(CThreatScannerStruct* instance, int option, int value)
{
    json::object call = Call("SetIntOption", instance);
    call["option"] = option;
    call["value"] = value;
    Record(std::move(call));
    return Result("SetIntOption");
}

CORVANE_EXPORT int ThreatScanner_SetScanCallback2(CThreatScannerStruct* instance,
                                                  ThreatScanner::ScanCallback* callback,
                                                  void* context)
{
    json::object call = Call("SetScanCallback2", instance);
    call["callbackNull"] = callback == nullptr;
    call["contextNull"] = context == nullptr;
    Record(std::move(call));
    if (instance)
    {
        instance->callback = callback;
        instance->context = context;
    }
    return Result("SetScanCallback2");
}

#ifndef SCRIPTED_ENGINE_WITHOUT_EXT_CALLBACK
CORVANE_EXPORT int ThreatScanner_SetExtCallback(CThreatScannerStruct* instance,
                                                ThreatScanner::ExtCallback* /*callback*/,
                                                void* /*context*/)
{
    Record(Call("SetExtCallback", instance));
    return Result("SetExtCallback");
}
#endif

CORVANE_EXPORT int ThreatScanner_ScanObject(CThreatScannerStruct* instance, int objectType,
                                            const wchar_t* path, int zero, int* out1, int* out2,
                                            const wchar_t** out3, int processId,
                                            const wchar_t* name)
{
    json::object call = Call("ScanObject", instance);
    call["objectType"] = objectType;
    call["path"] = Text(path);
    call["name"] = Text(name);
    call["zero"] = zero;
    call["out1"] = out1 ? json::value(*out1) : json::value(nullptr);
    call["out2"] = out2 ? json::value(*out2) : json::value(nullptr);
    call["out3Null"] = !out3 || !*out3;
    call["processId"] = processId;
    Record(std::move(call));
    return RunScan(instance, "ScanObject", path, objectType);
}

CORVANE_EXPORT int ThreatScanner_ScanPath(CThreatScannerStruct* instance, int zero,
                                          const wchar_t* path, int processId)
{
    json::object call = Call("ScanPath", instance);
    call["zero"] = zero;
    call["path"] = Text(path);
    call["processId"] = processId;
    Record(std::move(call));
    return RunScan(instance, "ScanPath", path, -1);
}

CORVANE_EXPORT int ThreatScanner_GetDatabaseInformation(CThreatScannerStruct* instance,
                                                        std::uint32_t* version,
                                                        std::uint32_t* releaseTime)
{
    Record(Call("GetDatabaseInformation", instance));
    if (const json::value* database = Script().if_contains("database"))
    {
        if (version)
            *version = static_cast<std::uint32_t>(Number(database->as_object(), "version"));
        if (releaseTime)
            *releaseTime = static_cast<std::uint32_t>(Number(database->as_object(), "releaseTime"));
    }
    return Result("GetDatabaseInformation");
}
