#include "EngineHarness.h"

#include "DllHelper/Dll.h"
#include "FileSystemHelper/Text.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <type_traits>

namespace EngineTest
{
namespace
{
Exports Load()
{
    static const auto library = DllHelper::BoundLibrary<ThreatScanner::Exports>::Load(
        ENGINE_LIBRARY_PATH, [](auto find) { return ThreatScanner::BindExports(find); });
    Exports exports;
    static_cast<ThreatScanner::Exports&>(exports) = *library;
    const DllHelper::Library& engine = *library.Owner();
    const auto bind = [&engine](auto& slot, const char* name)
    {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
            DllHelper::Detail::ExportAddress(engine, name));
    };
    bind(exports.SetWalkListedHook, "ThreatScannerTest_SetWalkListedHook");
    bind(exports.SetScannedHook, "ThreatScannerTest_SetScannedHook");
    bind(exports.ScannedFiles, "ThreatScannerTest_ScannedFiles");
    bind(exports.SetQuarantineReserve, "ThreatScannerTest_SetQuarantineReserve");
    bind(exports.SetHeldFolderLevels, "ThreatScannerTest_SetHeldFolderLevels");
    bind(exports.SetBlockedOpenHook, "ThreatScannerTest_SetBlockedOpenHook");
    bind(exports.SetCacheEntries, "ThreatScannerTest_SetCacheEntries");
    return exports;
}

std::wstring Text(const wchar_t* text)
{
    return text ? text : L"(null)";
}

std::uint32_t Crc32(const std::string& data)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char byte : data)
    {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void Put(std::string& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}
} // namespace

const Exports& Engine()
{
    static const Exports exports = Load();
    return exports;
}

namespace
{
std::function<void(const std::string&)> onScanned;
void ScannedHook(const char* path)
{
    if (onScanned)
        onScanned(path);
}
} // namespace

void OnScanned(std::function<void(const std::string& path)> function)
{
    onScanned = std::move(function);
    Engine().SetScannedHook(onScanned ? ScannedHook : nullptr);
}

void Recorder::Callback(_ScanCbkParams* params, int* action, void* context)
{
    auto* self = static_cast<Recorder*>(context);
    if (self->inside.fetch_add(1) != 0)
        self->overlapped = true;
    self->reports.push_back(
        {params->objectType, Text(params->objectPath), Text(params->parentContainers),
         Text(params->innerObject), params->objectFlags, params->archiveFlags, params->scanStatus,
         params->scanStatusFlags, params->threatType, params->processId, Text(params->threatName),
         params->depthLevel, Text(params->verifiedSigner)});
    if (params->scanStatus == ThreatScanner::StatusInfected ||
        params->scanStatus == ThreatScanner::StatusSuspicious)
        *action = self->action;
    // Give a concurrent caller the chance to show itself.
    if (self->pauses.fetch_sub(1) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    else
        std::this_thread::yield();
    self->inside.fetch_sub(1);
}

EngineInstallation::EngineInstallation(bool readOnly, bool withService)
    : folder(root.Path() / "Corvane Scanner"), readOnly(readOnly)
{
    fs::create_directories(folder / "Plugins");
    fs::create_directories(Data());
    for (const char* name :
         {"corvane-starter.ndb", "corvane-starter.hdb", "corvane-starter.ldb", "update.txt"})
        fs::copy_file(fs::path(STARTER_DEFINITIONS_FOLDER) / name, folder / "Plugins" / name);
    if (withService)
        service = std::make_unique<EngineService>(folder / "Plugins", root.Path());
    Start(false);
}

void EngineInstallation::Restart()
{
    for (CThreatScannerStruct* instance : instances)
        EXPECT_EQ(Engine().DestroyInstance(instance), 0);
    instances.clear();
    EXPECT_EQ(Engine().Uninitialize(), 0);
    // A service switches to the definitions as they are now, as a new start would load them.
    Start(true);
}

void EngineInstallation::Start(bool switchDefinitions)
{
    const std::wstring base = Wide(folder);
    const std::wstring second = service ? service->StartupText(switchDefinitions) : L"";
    int result = 0;
    if (readOnly)
        result = Engine().Initialize(base.c_str(), second.c_str());
    else
    {
        fs::create_directories(folder / "Temp");
        fs::create_directories(Quarantine());
        const std::wstring temp = Wide(folder / "Temp");
        const std::wstring quarantine = Wide(Quarantine());
        std::wstring smartDb = Wide(folder / "SmartDB.dll");
        _InitializeParams params{};
        params.size = sizeof params;
        params.programFolder = base.c_str();
        params.quarantineFolder = quarantine.c_str();
        params.tempFolder = temp.c_str();
        params.value116 = 1;
        params.instanceGuid = L"00000000-0000-0000-0000-000000000000";
        result = Engine().InitializeEx(base.c_str(), second.c_str(), smartDb.data(), &params);
    }
    if (result != 0)
        throw std::runtime_error("the engine did not start: " + std::to_string(result));
}

EngineInstallation::~EngineInstallation()
{
    for (CThreatScannerStruct* instance : instances)
        EXPECT_EQ(Engine().DestroyInstance(instance), 0);
    EXPECT_EQ(Engine().Uninitialize(), 0);
}

CThreatScannerStruct* EngineInstallation::Instance(Recorder& recorder, bool scanArchives)
{
    CThreatScannerStruct* instance = nullptr;
    if (Engine().CreateInstance(&instance) != 0 || !instance)
        throw std::runtime_error("no engine instance");
    instances.push_back(instance);
    Engine().SetScanCallback2(instance, &Recorder::Callback, &recorder);
    EXPECT_EQ(
        Engine().SetIntOption(instance, ThreatScanner::OptionScanArchives, scanArchives ? 1 : 0),
        0);
    return instance;
}

int EngineInstallation::Scan(const fs::path& path, Recorder& recorder, bool scanArchives)
{
    return Engine().ScanPath(Instance(recorder, scanArchives), 0, Wide(path).c_str(),
                             static_cast<int>(::getpid()));
}

std::string TestVirus()
{
    std::string text = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$";
    return text + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

std::string Marker(const std::string& kind)
{
    std::string text = "CORVANE-ENGINE-";
    return text + "TEST-MARKER:" + kind;
}

void WriteFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream file(path.string(), std::ios::binary | std::ios::trunc);
    file << content;
}

std::string ReadFile(const fs::path& path)
{
    return CorvaneTest::ReadFile(path);
}

std::string Zip(const std::vector<std::pair<std::string, std::string>>& members)
{
    std::string archive;
    std::string directory;
    for (const auto& [name, content] : members)
    {
        const auto offset = static_cast<std::uint32_t>(archive.size());
        const std::uint32_t crc = Crc32(content);
        const auto size = static_cast<std::uint32_t>(content.size());
        Put(archive, 0x04034b50, 4);
        Put(archive, 10, 2); // version needed
        Put(archive, 0, 2);  // flags
        Put(archive, 0, 2);  // stored
        Put(archive, 0, 4);  // time and date
        Put(archive, crc, 4);
        Put(archive, size, 4);
        Put(archive, size, 4);
        Put(archive, static_cast<std::uint32_t>(name.size()), 2);
        Put(archive, 0, 2);
        archive += name + content;

        Put(directory, 0x02014b50, 4);
        Put(directory, 20, 2);
        Put(directory, 10, 2);
        Put(directory, 0, 2);
        Put(directory, 0, 2);
        Put(directory, 0, 4);
        Put(directory, crc, 4);
        Put(directory, size, 4);
        Put(directory, size, 4);
        Put(directory, static_cast<std::uint32_t>(name.size()), 2);
        Put(directory, 0, 2); // extra
        Put(directory, 0, 2); // comment
        Put(directory, 0, 2); // disk
        Put(directory, 0, 2); // internal attributes
        Put(directory, 0, 4); // external attributes
        Put(directory, offset, 4);
        directory += name;
    }
    const auto directoryOffset = static_cast<std::uint32_t>(archive.size());
    archive += directory;
    Put(archive, 0x06054b50, 4);
    Put(archive, 0, 2);
    Put(archive, 0, 2);
    Put(archive, static_cast<std::uint32_t>(members.size()), 2);
    Put(archive, static_cast<std::uint32_t>(members.size()), 2);
    Put(archive, static_cast<std::uint32_t>(directory.size()), 4);
    Put(archive, directoryOffset, 4);
    Put(archive, 0, 2);
    return archive;
}

std::wstring Wide(const fs::path& path)
{
    return FileSystemHelper::WidePath(path);
}

fs::path Narrow(const std::wstring& path)
{
    return FileSystemHelper::PathFromWide(path);
}
} // namespace EngineTest

namespace EngineTest
{
ShippedInstallation::ShippedInstallation()
{
    installation.Install(ENGINE_LIBRARY_PATH, "scan.dll");
    fs::create_directories(installation.Folder() / "Plugins");
    for (const auto& entry : fs::directory_iterator(STARTER_DEFINITIONS_FOLDER))
    {
        if (entry.path().filename() != "cache.000")
            installation.Install(entry.path(), "Plugins/" + entry.path().filename().string());
    }
    fs::create_directories(Data());
    if (EngineService::Enabled())
    {
        service = std::make_unique<EngineService>(installation.Folder() / "Plugins",
                                                  installation.Folder().parent_path());
        installation.WriteFile("config.ini", "engine_service=" + service->Socket().string() + "\n");
    }
}

void ShippedInstallation::Reload()
{
    if (!service)
        return;
    service.reset();
    service = std::make_unique<EngineService>(installation.Folder() / "Plugins",
                                              installation.Folder().parent_path());
}

ScanProtocol::Channel Greeted(const EngineService& service)
{
    ScanProtocol::OwnedDescriptor socket =
        ScanProtocol::ConnectAndGreet(service.Socket().string(), std::chrono::seconds(5));
    if (socket.Get() == -1)
        throw std::runtime_error("the service did not greet");
    return ScanProtocol::Channel(std::move(socket));
}

ScanProtocol::StatsReply Stats(const EngineService& service)
{
    ScanProtocol::Channel channel = Greeted(service);
    ScanProtocol::Message reply;
    if (channel.Send(ScanProtocol::StatsRequest{}) != ScanProtocol::Outcome::Ok ||
        channel.Receive(reply, nullptr, std::chrono::seconds(10)) != ScanProtocol::Outcome::Ok ||
        !std::holds_alternative<ScanProtocol::StatsReply>(reply))
        throw std::runtime_error("the service did not tell its counts");
    return std::get<ScanProtocol::StatsReply>(reply);
}

std::vector<std::string> ScanOver(ScanProtocol::Channel& channel, const fs::path& file)
{
    const ScanProtocol::OwnedDescriptor fd = OpenToPass(file);
    ScanProtocol::Message reply;
    if (channel.Send(ScanProtocol::ScanRequest{true}, fd.Get()) != ScanProtocol::Outcome::Ok ||
        channel.Receive(reply, nullptr, std::chrono::seconds(60)) != ScanProtocol::Outcome::Ok ||
        !std::holds_alternative<ScanProtocol::ScanReply>(reply))
        return {"failed"};
    std::vector<std::string> names;
    for (const ScanProtocol::Detection& detection :
         std::get<ScanProtocol::ScanReply>(reply).detections)
        names.push_back(detection.threatName);
    return names;
}

std::wstring EngineService::StartupText(bool switchDefinitions) const
{
    return (switchDefinitions ? std::wstring(ThreatScanner::EngineSwitchKey) + L"; " : L"") +
           ThreatScanner::EngineServiceKey + Wide(socket);
}

std::string ShippedInstallation::Log() const
{
    std::string log;
    for (const auto& entry : fs::directory_iterator(installation.Folder() / "Logs"))
        log += CorvaneTest::ReadFile(entry.path());
    return log;
}

std::string ShippedInstallation::Scan(const fs::path& path, const std::vector<std::string>& options,
                                      const std::map<std::string, std::string>& environment)
{
    std::vector<std::string> arguments = {"--custom", path.string(), "--scan-result",
                                          Result().string()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return installation.Run(arguments, environment).output;
}

std::vector<fs::path> QuarantineFiles(const fs::path& folder, const std::string& extension)
{
    std::vector<fs::path> files;
    if (!fs::exists(folder))
        return files;
    for (const auto& entry : fs::directory_iterator(folder))
    {
        if (entry.path().extension() == extension)
            files.push_back(entry.path());
    }
    return files;
}

std::vector<std::int32_t> Statuses(const Recorder& recorder)
{
    std::vector<std::int32_t> statuses;
    for (const Report& report : recorder.reports)
        statuses.push_back(report.scanStatus);
    return statuses;
}
std::vector<std::string> InfectedObjects(const std::string& report)
{
    std::vector<std::string> objects;
    const std::regex element("<InfectedObject [^\n]*/>");
    for (auto match = std::sregex_iterator(report.begin(), report.end(), element);
         match != std::sregex_iterator(); ++match)
        objects.push_back(match->str());
    return objects;
}
} // namespace EngineTest
