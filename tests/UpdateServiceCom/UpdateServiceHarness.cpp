#include "UpdateServiceHarness.h"

#include "UpdateServiceCom/UpdateServiceCom.h"

#include <algorithm>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace UpdateLibraryTesting
{
KeyPair MakeKeyPair(const fs::path& folder)
{
    KeyPair keys{folder / "private.pem", folder / "public.pem"};
    if (RunPublisher({"genkey", "--private", Platform::ToolPath(keys.privateKey), "--public",
                      Platform::ToolPath(keys.publicKey)}) != 0)
        throw std::runtime_error("cannot make a key pair");
    return keys;
}

namespace
{
// A key pair in a folder of its own that lasts as long as the test program.
struct OwnKeyPair
{
    CorvaneTest::TemporaryFolder folder;
    KeyPair keys = MakeKeyPair(folder.Path());
};
} // namespace

const KeyPair& PublisherKeys()
{
    static const OwnKeyPair publisher;
    return publisher.keys;
}

const KeyPair& StrangerKeys()
{
    static const OwnKeyPair stranger;
    return stranger.keys;
}

std::string Signatures(const std::string& tag, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text = "Corvane.Test.Signature:0:*:";
    for (const unsigned char byte : "corvane:" + tag)
        text += {digits[byte >> 4], digits[byte & 15]};
    text += '\n';
    // Comment lines of at most 80 bytes; none may be shorter than "#\n".
    for (std::size_t left = size > text.size() + 1 ? size - text.size() : 0; left > 0;)
    {
        std::size_t line = std::min<std::size_t>(left, 80);
        if (left - line == 1)
            --line;
        text += '#' + std::string(line - 2, 'x') + '\n';
        left -= line;
    }
    return text;
}

std::uint64_t Bytes(const Files& files)
{
    std::uint64_t total = 0;
    for (const auto& file : files)
        total += file.second.size();
    return total;
}

fs::path ShippedLibrary()
{
    return SHIPPED_LIBRARY_PATH;
}

fs::path HooksLibrary()
{
    return HOOKS_LIBRARY_PATH;
}

int RunPublisher(const std::vector<std::string>& arguments)
{
    std::vector<std::string> all = {PUBLISHER_PATH};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return Platform::RunTool(PYTHON_PATH, all);
}

void Sign(const fs::path& file, const fs::path& privateKey)
{
    const std::string path = Platform::ToolPath(file);
    if (Platform::RunTool(OPENSSL_PATH,
                          {"pkeyutl", "-sign", "-rawin", "-inkey", Platform::ToolPath(privateKey),
                           "-in", path, "-out", path + ".sig"}) != 0)
        throw std::runtime_error("cannot sign " + file.string());
}

void WriteText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream file(path.string(), std::ios::binary | std::ios::trunc);
    file << text;
}

DefinitionsServer::DefinitionsServer(int fixedPort)
{
    const fs::path portFile = root.Path() / "port";
    const std::string portText = std::to_string(fixedPort);
    // A fixed port belongs to this build folder's tests, which take turns (a resource lock): a
    // server still holding it was left by a test that was killed, and goes first.
    if (fixedPort != 0)
        Platform::RunTool(
            "/bin/sh", {"-c",
                        "for p in /proc/[0-9]*; do c=$(tr '\\0' ' ' <\"$p/cmdline\") || continue; "
                        "case \"$c\" in *\"$1 \"*\" $2 \") kill -9 \"${p#/proc/}\";; esac; "
                        "done 2>/dev/null; exit 0",
                        "sh", SERVER_SCRIPT_PATH, portText});
    process = std::make_unique<Platform::ToolProcess>(
        PYTHON_PATH, std::vector<std::string>{SERVER_SCRIPT_PATH, Platform::ToolPath(root.Path()),
                                              Platform::ToolPath(portFile), portText});
    for (int waited = 0; waited < 400 && !fs::exists(portFile) && process->Running(); ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!fs::exists(portFile))
    {
        Stop();
        throw std::runtime_error("the definitions server did not start on port " + portText);
    }
    port = std::stoi(CorvaneTest::ReadFile(portFile));
}

DefinitionsServer::~DefinitionsServer()
{
    Stop();
}

void DefinitionsServer::Stop()
{
    if (process)
        process->Stop();
}

std::string TestDatabase(int number)
{
    const fs::path file =
        fs::path(CLAMAV_TEST_DATABASES) / ("test-" + std::to_string(number) + ".cvd");
    if (!fs::exists(file))
        throw std::runtime_error(file.string() +
                                 " is missing: run tools/fetch-clamav-test-databases.sh");
    return CorvaneTest::ReadFile(file);
}

fs::path ClamavTestFile(const std::string& name)
{
    return fs::path(CLAMAV_TEST_FILES) / name;
}

std::string DefinitionsServer::MirrorUrl() const
{
    return "http://127.0.0.1:" + std::to_string(port) + "/mirror";
}

std::string DefinitionsServer::BaseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(port) + "/av64bit";
}

void DefinitionsServer::Publish(const Files& files, const std::string& version,
                                std::uint64_t sequence, const fs::path& privateKey)
{
    const fs::path source = root.Path() / "source";
    const fs::path built = root.Path() / "built";
    fs::remove_all(source);
    fs::remove_all(built);
    for (const auto& [name, content] : files)
        WriteText(source / name, content);
    if (RunPublisher({"release", "--key", Platform::ToolPath(privateKey), "--version", version,
                      "--sequence", std::to_string(sequence), Platform::ToolPath(source),
                      Platform::ToolPath(built)}) != 0)
        throw std::runtime_error("cannot publish a release");
    fs::remove_all(ReleaseFolder());
    fs::rename(built, ReleaseFolder());
}

void DefinitionsServer::PublishUnchecked(const Files& files, const std::string& version,
                                         std::uint64_t sequence, const fs::path& privateKey)
{
    const fs::path built = root.Path() / "built";
    fs::remove_all(built);
    std::string index = R"({"format": 1, "version": ")" + version + R"(", "sequence": )" +
                        std::to_string(sequence) + R"(, "files": [)";
    const char* separator = "";
    for (const auto& [name, content] : files)
    {
        WriteText(built / name, content);
        unsigned char digest[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const unsigned char*>(content.data()), content.size(), digest);
        std::string hex;
        for (const unsigned char byte : digest)
            hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
        index += separator + std::string(R"({"name": ")") + name + R"(", "size": )" +
                 std::to_string(content.size()) + R"(, "sha256": ")" + hex + R"("})";
        separator = ", ";
    }
    WriteText(built / "index.json", index + "]}");
    Sign(built / "index.json", privateKey);
    fs::remove_all(ReleaseFolder());
    fs::rename(built, ReleaseFolder());
}

void DefinitionsServer::SetFaults(const std::string& faultsByName)
{
    // The server knows full request paths; the tests name files below the base URL.
    std::string text = faultsByName;
    for (std::size_t at = text.find("\"@"); at != std::string::npos; at = text.find("\"@", at))
        text.replace(at, 2, "\"/av64bit/");
    WriteText(root.Path() / "faults.json", text);
}

std::vector<std::string> DefinitionsServer::Requests() const
{
    std::vector<std::string> names;
    std::istringstream lines(CorvaneTest::ReadFile(root.Path() / "requests.log"));
    for (std::string line; std::getline(lines, line);)
        names.push_back(line.substr(line.find_last_of('/') + 1));
    return names;
}

LoadedService::LoadedService(const fs::path& path)
    : library(DllHelper::BoundLibrary<UpdSdk::Exports>::Load(path, [](auto find)
                                                             { return UpdSdk::BindExports(find); }))
{
    service = library->Create();
    if (!service)
        throw std::runtime_error("the library made no service object");
}

LoadedService::LoadedService(const fs::path& path, const TestPauses& pauses)
    : library(DllHelper::BoundLibrary<UpdSdk::Exports>::Load(path, [](auto find)
                                                             { return UpdSdk::BindExports(find); }))
{
    using Create = UpdateServiceInterface* (*)(int, int, int);
    service = reinterpret_cast<Create>(Symbol("UpdSdkTestCreate"))(pauses.retry, pauses.inUse,
                                                                   pauses.readers);
    if (!service)
        throw std::runtime_error("the library made no service object");
}

LoadedService::~LoadedService()
{
    library->Destroy(service);
}

void* LoadedService::Symbol(const char* name) const
{
    return DllHelper::Detail::ExportAddress(*library.Owner(), name);
}

void LoadedService::Configure(const std::string& url, const fs::path& localPath)
{
    const std::wstring local = localPath.wstring();
    bool yes = true;
    std::uint32_t stallSeconds = 2;
    ASSERT_EQ(service->SetOption(UpdSdk::OptionServer, const_cast<char*>(url.c_str())), 0);
    ASSERT_EQ(service->SetOption(UpdSdk::OptionLocalPath, const_cast<wchar_t*>(local.c_str())), 0);
    ASSERT_EQ(service->SetOption(UpdSdk::OptionUseVersionId, &yes), 0);
    ASSERT_EQ(service->SetOption(UpdSdk::OptionUsePatches, &yes), 0);
    ASSERT_EQ(service->SetOption(UpdSdk::OptionUpdateCallback,
                                 reinterpret_cast<void*>(&LoadedService::Callback)),
              0);
    ASSERT_EQ(service->SetOption(UpdSdk::OptionUpdateCallbackContext, this), 0);
    ASSERT_EQ(service->SetOption(UpdateServiceCom::OptionStallTimeout, &stallSeconds), 0);
}

bool LoadedService::RunUntilKilled(const fs::path& library, const std::string& url,
                                   const fs::path& localPath, int step, bool exchange)
{
    const auto result =
        CorvaneTest::RunProgram(INSTALL_RUNNER_PATH, {library.string(), url, localPath.string(),
                                                      std::to_string(step), exchange ? "1" : "0"});
    const bool killed = Platform::Killed(result.exitCode);
    EXPECT_TRUE(killed || result.exitCode == 0) << "exit code " << result.exitCode;
    return killed;
}

int LoadedService::Callback(int code, void* data, void* context)
{
    auto& self = *static_cast<LoadedService*>(context);
    Event event{code, {}, 0};
    if (code == UpdSdk::EventFileName)
        event.text = static_cast<const char*>(data);
    if (code == UpdSdk::EventTotalBytes || code == UpdSdk::EventBytesDone ||
        code == UpdSdk::EventInstallPending)
        event.value = *static_cast<const std::uint64_t*>(data);
    self.events.push_back(event);
    if (code >= UpdSdk::EventRetryQuery1 && code <= UpdSdk::EventRetryQuery3)
    {
        if (self.retriesAllowed == 0)
            return 0;
        --self.retriesAllowed;
        return 1;
    }
    return 0;
}

std::vector<int> LoadedService::Codes() const
{
    std::vector<int> codes;
    for (const Event& event : events)
        codes.push_back(event.code);
    return codes;
}

std::vector<int> LoadedService::Queries() const
{
    std::vector<int> codes;
    for (const Event& event : events)
        if (event.code >= UpdSdk::EventRetryQuery1 && event.code <= UpdSdk::EventRetryQuery3)
            codes.push_back(event.code);
    return codes;
}

TestInstallation::TestInstallation(const fs::path& publicKey, bool hooks)
{
    fs::copy_file(hooks ? HooksLibrary() : ShippedLibrary(), Library());
    fs::copy_file(publicKey, Folder() / "UpdateServiceCom.pub");
    WriteText(Plugins() / "starter.ndb", Signatures("starter definitions"));
    WriteText(Plugins() / "update.txt", "Version: starter\n");
}

Files TestInstallation::Definitions() const
{
    Files files;
    if (!fs::is_directory(Plugins()))
        return files;
    for (const auto& entry : fs::directory_iterator(Plugins()))
    {
        const std::string name = entry.path().filename().string();
        if (name != "update.txt" && name != "index.json")
            files[name] = CorvaneTest::ReadFile(entry.path());
    }
    return files;
}

std::string TestInstallation::Version() const
{
    std::string text = CorvaneTest::ReadFile(Plugins() / "update.txt");
    return text.rfind("Version: ", 0) == 0 ? text.substr(9, text.find('\n') - 9) : std::string();
}

std::vector<std::string> TestInstallation::Entries() const
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder()))
    {
        // The lock that scans share with a switch stays once a switch or a scan made it.
        if (entry.path().filename() != "Plugins.switch.lock")
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}
} // namespace UpdateLibraryTesting
