#pragma once

// The threat-scanner library's interface (scan.dll): the records it exchanges with the program,
// the codes it speaks in, and the signatures of its exports. Callers bind the exports through
// ThreatScanner/Exports.h; an engine library defines them as extern "C" functions of these types.
#include <cstddef>
#include <cstdint>

// The engine's opaque instance handle.
struct CThreatScannerStruct;
// Records of the extended callback, which the program never sets.
struct _ScanCbkExtScanParams;
struct _ScanExtCbks;

// The record passed to ThreatScanner_InitializeEx: 160 bytes, zero except the fields below.
struct _InitializeParams
{
    std::uint32_t size; // 160
    std::uint32_t reserved4;
    void* reserved8;                 // null
    const wchar_t* programFolder;    // 16
    const wchar_t* quarantineFolder; // 24
    const wchar_t* tempFolder;       // 32
    std::uint32_t value40;           // 0
    std::uint8_t reserved44[72];
    std::uint32_t value116;      // 1
    const wchar_t* instanceGuid; // 120: a fixed 36-character GUID-form string
    std::uint8_t reserved128[32];
};
static_assert(sizeof(_InitializeParams) == 160);
static_assert(offsetof(_InitializeParams, programFolder) == 16);
static_assert(offsetof(_InitializeParams, quarantineFolder) == 24);
static_assert(offsetof(_InitializeParams, tempFolder) == 32);
static_assert(offsetof(_InitializeParams, value40) == 40);
static_assert(offsetof(_InitializeParams, value116) == 116);
static_assert(offsetof(_InitializeParams, instanceGuid) == 120);

// The record the engine passes to the scan callback for each reported object. Strings may be
// null. size says how much of the record the engine filled: a record shorter than the whole
// (an older engine's) has no verifiedSigner.
struct _ScanCbkParams
{
    std::uint32_t size;                    // 0
    std::int32_t objectType;               // 4
    const wchar_t* objectPath;             // 8
    const wchar_t* parentContainers;       // 16
    const wchar_t* innerObject;            // 24
    std::uint32_t objectFlags;             // 32
    std::int32_t archiveFlags;             // 36
    std::int32_t scanStatus;               // 40
    std::int32_t scanStatusFlags;          // 44
    std::int32_t threatType;               // 48
    std::uint32_t processId;               // 52
    std::uint32_t registryKey;             // 56
    std::uint32_t reserved60;              // 60, not read
    const wchar_t* threatName;             // 64
    const wchar_t* sysObjParentContainers; // 72
    const wchar_t* sysObjInnerObject;      // 80
    const wchar_t* tempPath;               // 88
    std::uint32_t depthLevel;              // 96
    std::uint32_t reserved100;             // 100, not read
    // For a detection: the name (the subject's simple display name) of the signer of the file
    // the engine scanned, when that file's embedded signature verifies; checked on the very
    // content the engine judged, never on whatever the path names afterwards. Null when the
    // signature does not verify, the file carries none, or it was not checked.
    const wchar_t* verifiedSigner; // 104
};
static_assert(offsetof(_ScanCbkParams, objectType) == 4);
static_assert(offsetof(_ScanCbkParams, objectPath) == 8);
static_assert(offsetof(_ScanCbkParams, parentContainers) == 16);
static_assert(offsetof(_ScanCbkParams, innerObject) == 24);
static_assert(offsetof(_ScanCbkParams, objectFlags) == 32);
static_assert(offsetof(_ScanCbkParams, archiveFlags) == 36);
static_assert(offsetof(_ScanCbkParams, scanStatus) == 40);
static_assert(offsetof(_ScanCbkParams, scanStatusFlags) == 44);
static_assert(offsetof(_ScanCbkParams, threatType) == 48);
static_assert(offsetof(_ScanCbkParams, processId) == 52);
static_assert(offsetof(_ScanCbkParams, registryKey) == 56);
static_assert(offsetof(_ScanCbkParams, threatName) == 64);
static_assert(offsetof(_ScanCbkParams, sysObjParentContainers) == 72);
static_assert(offsetof(_ScanCbkParams, sysObjInnerObject) == 80);
static_assert(offsetof(_ScanCbkParams, tempPath) == 88);
static_assert(offsetof(_ScanCbkParams, depthLevel) == 96);
static_assert(offsetof(_ScanCbkParams, verifiedSigner) == 104);
static_assert(sizeof(_ScanCbkParams) == 112);

namespace ThreatScanner
{
using ScanCallback = void(_ScanCbkParams* params, int* action, void* context);
using ExtCallback = void(_ScanCbkExtScanParams*, _ScanExtCbks*, int*, void*);

// Export signatures, named after the exports without their ThreatScanner_ prefix.
using Initialize = int(const wchar_t* folder, const wchar_t* second);
using InitializeEx = int(const wchar_t* folder, const wchar_t* second, wchar_t* smartDbPath,
                         _InitializeParams* params);
using Uninitialize = int();
using CreateInstance = int(CThreatScannerStruct** instance);
using DestroyInstance = int(CThreatScannerStruct* instance);
using SetIntOption = int(CThreatScannerStruct* instance, int option, int value);
using SetScanCallback2 = int(CThreatScannerStruct* instance, ScanCallback* callback, void* context);
using SetExtCallback = int(CThreatScannerStruct* instance, ExtCallback* callback, void* context);
// For the system object, out1 receives how many running processes the caller had no right to
// examine (left out of the scan).
using ScanObject = int(CThreatScannerStruct* instance, int objectType, const wchar_t* path,
                       int zero, int* out1, int* out2, const wchar_t** out3, int processId,
                       const wchar_t* name);
using ScanPath = int(CThreatScannerStruct* instance, int zero, const wchar_t* path, int processId);
using GetDatabaseInformation = int(CThreatScannerStruct* instance, std::uint32_t* version,
                                   std::uint32_t* releaseTime);

// Result codes of the exports: 0 is success.
enum Result : std::int32_t
{
    Success = 0,
    Stopped = 0x40000001,
    NoPlugins = 0x40000003,
    MaxFiles = 0x40000004,
    MaxLevels = 0x40000005,
    MaxBytes = 0x40000006,
    Failed = static_cast<std::int32_t>(0xC0000000),
    FileOpen = static_cast<std::int32_t>(0xC0000001),
    FileCreate = static_cast<std::int32_t>(0xC0000002),
    FileSeek = static_cast<std::int32_t>(0xC0000003),
    FileRemove = static_cast<std::int32_t>(0xC0000004),
    FileCopy = static_cast<std::int32_t>(0xC0000005),
    FileRename = static_cast<std::int32_t>(0xC0000006),
    FileMove = static_cast<std::int32_t>(0xC0000007),
    FirFind = static_cast<std::int32_t>(0xC000000B),
    FnInit = static_cast<std::int32_t>(0xC000000F),
    NoMemory = static_cast<std::int32_t>(0xC0000010),
    PathError = static_cast<std::int32_t>(0xC0000011),
    InvalidHandle = static_cast<std::int32_t>(0xC0000012),
    DisinfectFailed = static_cast<std::int32_t>(0xC0000013), // named "Disinfect"
    NotSupported = static_cast<std::int32_t>(0xC0000015),
    Param2 = static_cast<std::int32_t>(0xC0000017),
    Param3 = static_cast<std::int32_t>(0xC0000018),
    Param4 = static_cast<std::int32_t>(0xC0000019),
    Param5 = static_cast<std::int32_t>(0xC000001A),
    FileRead = static_cast<std::int32_t>(0xC000001B),
    UtfConversion = static_cast<std::int32_t>(0xC000001C),
    PathAccess = static_cast<std::int32_t>(0xC000001D),
    TmpPath = static_cast<std::int32_t>(0xC000001E),
    Plugin = static_cast<std::int32_t>(0xC000001F),
    FileWrite = static_cast<std::int32_t>(0xC0000020),
    DbinfoUnavailable = static_cast<std::int32_t>(0xC0001002),
    LoadingEngine = static_cast<std::int32_t>(0xC0001003),
    AllocatingEngine = static_cast<std::int32_t>(0xC0001004),
    SharedMemMapping = static_cast<std::int32_t>(0xC0001005),
    FileInformation = static_cast<std::int32_t>(0xC0001006),
    InitRequired = static_cast<std::int32_t>(0xC0001007),
    InvalidArgument = static_cast<std::int32_t>(0xC0001008),
    Busy = static_cast<std::int32_t>(0xC0001009),
    CouldNotSetPriority = static_cast<std::int32_t>(0xC000100A),
    CouldNotUpdateInstance = static_cast<std::int32_t>(0xC000100B),
    CouldNotInitialize = static_cast<std::int32_t>(0xC000100C),
};

// Actions the engine applies to a detection.
enum Action : std::int32_t
{
    ActionDefault = 0,
    ActionNone = 1,
    ActionAbort = 2,
    ActionDisinfect = 3,
    ActionRename = 4,
    ActionDelete = 5,
    ActionQuarCopy = 6,
    ActionQuarMove = 7,
    ActionQuarCopyArch = 8,
    ActionQuarMoveArch = 9,
    ActionDisinfectOnly = 10,
    ActionSkip = 11,
};

enum ObjectType : std::int32_t
{
    ObjectFile = 0,
    ObjectBootSector = 1,
    ObjectProcess = 2,
    ObjectRegistryKey = 3,
    ObjectCookie = 4,
    ObjectMimeMessage = 5,
    ObjectStream = 6,
};

enum ScanStatus : std::int32_t
{
    StatusScanFailed = 0,
    StatusClean = 1,
    StatusDisinfected = 2,
    StatusInfected = 3,
    StatusSuspicious = 4,
    StatusDeleted = 5,
    StatusMoved = 6,
    StatusHidden = 7,
    StatusUpdateFailed = 8,
    StatusDeletedReboot = 9,
    StatusPasswordProtected = 10,
    StatusMovedReboot = 11,
};

enum ThreatType : std::int32_t
{
    ThreatVirus = 0,
    ThreatSpyware = 1,
    ThreatAdware = 2,
    ThreatSpam = 3,
    ThreatRootkit = 4,
    ThreatDialer = 5,
    ThreatApp = 6,
    ThreatArchBomb = 7,
};

// Object flag bits.
enum ObjectFlag : std::uint32_t
{
    FlagModified = 0x1,
    FlagArchive = 0x2,
    FlagPassword = 0x4,
    FlagCorrupted = 0x10,
    FlagPacked = 0x20,
    FlagTemporary = 0x40,
    FlagUnkMethod = 0x80,
    FlagHasMacros = 0x100,
    FlagUnpacked = 0x200,
    FlagMove = 0x800,
    FlagIsBootImage = 0x1000,
    FlagAdware = 0x2000,
    FlagSpyware = 0x4000,
    FlagDialer = 0x8000,
    FlagApp = 0x10000,
    FlagCookie = 0x20000,
    FlagProc = 0x40000,
    FlagReg = 0x80000,
    FlagFolder = 0x200000,
    FlagUnableToRead = 0x400000,
    FlagNotUpdatable = 0x800000,
    FlagEncryptedFs = 0x1000000,
    FlagContainer = 0x2000000,
    FlagArchBomb = 0x4000000,
    FlagKeyLogger = 0x8000000,
    FlagStream = 0x10000000,
};

// Object types the program passes to ScanObject, and the engine options it sets.
constexpr int SystemObjectType = 0;
constexpr int BootSectorObjectType = 1;
constexpr int OptionScanArchives = 26;
// Set to 1 on an instance, from any thread and also while a scan call of it runs: that call and
// every later one end after the object in progress, with the result Stopped. What was found
// before is still reported; no further action is taken.
constexpr int OptionStopScan = 4090;
// The second start-up string may name the socket of a resident engine service after this key
// (the rest of the string is the path). When a service answers there, the engine loads nothing
// itself and hands each file it opens to the service; when none answers, it loads in process.
inline constexpr wchar_t EngineServiceKey[] = L"engine-service=";
// Given in the second start-up string before the service's key after new definitions were
// installed: a service that answers is asked to load them and switch to them (it keeps the old
// set when the new one does not load), and the start-up returns the result of that load. An
// engine that loads in process loads the installed set anyway.
inline constexpr wchar_t EngineSwitchKey[] = L"switch-definitions";

// The path and name under which the program asks for the system objects (SystemObjectType).
inline constexpr wchar_t SystemObjectName[] = L"<System>";

// An engine option and the value the program gives it.
struct OptionSetting
{
    int option;
    int value;
};

// Options the program sets on every new instance, ignoring the results: InstanceSetupOptions
// before it sets the scan callback, then each of InstanceEnabledOptions to 1, in these orders.
// An engine accepts all of them.
inline constexpr OptionSetting InstanceSetupOptions[] = {{6001, 1}, {6002, 0}};
inline constexpr int InstanceEnabledOptions[] = {4078, 87, 4080, 110, 80, 79, 78, 4081, 106};
} // namespace ThreatScanner
