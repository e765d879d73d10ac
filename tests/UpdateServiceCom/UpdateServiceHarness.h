#pragma once

#include "DllHelper/Dll.h"
#include "HarnessPlatform.h"
#include "Installation.h"
#include "UpdateServiceCom/Exports.h"

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace UpdateLibraryTesting
{
namespace fs = boost::filesystem;

// The definitions files of a release: name to content.
using Files = std::map<std::string, std::string>;

// The content of a definitions file that the engine loads: one body signature that finds the
// tag's bytes, padded with comment lines to size bytes when size is larger.
std::string Signatures(const std::string& tag, std::size_t size = 0);
// What a release of these files downloads, in bytes.
std::uint64_t Bytes(const Files& files);

// An Ed25519 key pair made with the publishing tool.
struct KeyPair
{
    fs::path privateKey;
    fs::path publicKey;
};
KeyPair MakeKeyPair(const fs::path& folder);

// The publisher's key pair and a stranger's, made once per test program.
const KeyPair& PublisherKeys();
const KeyPair& StrangerKeys();

// The update library as built for the program folder, and its test build (kill points, pauses).
fs::path ShippedLibrary();
fs::path HooksLibrary();

// Runs the publishing tool; returns its exit code. Paths in the arguments are given as
// Platform::ToolPath makes them.
int RunPublisher(const std::vector<std::string>& arguments);

// Signs a file with the private key into <file>.sig, whatever the file holds.
void Sign(const fs::path& file, const fs::path& privateKey);

void WriteText(const fs::path& path, const std::string& text);

// libclamav's publisher-signed test databases test-1.cvd .. test-6.cvd (fetched at build time
// from Debian's clamav source package), as bytes; test-6 detects clam.exe of libclamav's test
// files as Clamav.Test.File-6.
std::string TestDatabase(int number);
// libclamav's harmless test files (the clamav-testfiles package).
fs::path ClamavTestFile(const std::string& name);

// A loopback web server serving a folder, with faults on request (DefinitionsServer.py).
class DefinitionsServer
{
public:
    // port 0: any free port.
    explicit DefinitionsServer(int port = 0);
    ~DefinitionsServer();
    DefinitionsServer(const DefinitionsServer&) = delete;
    DefinitionsServer& operator=(const DefinitionsServer&) = delete;

    // The server URL the library is given; releases are published below it.
    std::string BaseUrl() const;
    fs::path ReleaseFolder() const { return root.Path() / "av64bit"; }
    // A private mirror of the official databases, served below MirrorUrl.
    fs::path MirrorFolder() const { return root.Path() / "mirror"; }
    std::string MirrorUrl() const;

    // Publishes a release of the files with the tool, replacing the previous one.
    void Publish(const Files& files, const std::string& version, std::uint64_t sequence,
                 const fs::path& privateKey);
    // Publishes the files as they are, with an index and signature of its own, as a publisher
    // with the key but without the tool's checks could.
    void PublishUnchecked(const Files& files, const std::string& version, std::uint64_t sequence,
                          const fs::path& privateKey);
    // Faults per request path below the base URL, e.g. {"a.ndb": {"always": {"status": 503}}}.
    void SetFaults(const std::string& faultsByName);
    // The names requested below the base URL so far, in order.
    std::vector<std::string> Requests() const;
    // Stops the server; its port stays closed.
    void Stop();

private:
    CorvaneTest::TemporaryFolder root;
    std::unique_ptr<Platform::ToolProcess> process;
    int port = 0;
};

// One event the library sent: its code and its data as text or number.
struct Event
{
    int code;
    std::string text;
    std::uint64_t value;
};

// How long a service object of the test build waits, in milliseconds: between two tries of a
// transfer, for files in use, and for scans that load the definitions.
struct TestPauses
{
    int retry;
    int inUse;
    int readers;
};

// The update library loaded from an installation folder, with one service object and a
// callback that records every event and answers queries from a budget.
class LoadedService
{
public:
    explicit LoadedService(const fs::path& path);
    // A service object of the test build that waits as pauses say.
    LoadedService(const fs::path& path, const TestPauses& pauses);
    ~LoadedService();
    LoadedService(const LoadedService&) = delete;
    LoadedService& operator=(const LoadedService&) = delete;

    UpdateServiceInterface& Service() { return *service; }
    const UpdSdk::Exports& Exports() const { return *library; }
    // The address of an export of the test build of the library; throws when it has none.
    void* Symbol(const char* name) const;

    // Sets the six options the program sets, and a short stall time-out.
    void Configure(const std::string& url, const fs::path& localPath);

    std::vector<Event> events;
    int retriesAllowed = 0; // queries answered 1 before the first answer 0

    std::vector<int> Codes() const;
    std::vector<int> Queries() const;

    // Loads the library into a program of its own that dies at the kill point step (0: never)
    // of the test build, and runs Update and then, when Update left something to install,
    // Install. Returns true when the program was killed; expects it to succeed otherwise.
    static bool RunUntilKilled(const fs::path& library, const std::string& url,
                               const fs::path& localPath, int step, bool exchange);

private:
    static int Callback(int code, void* data, void* context);

    DllHelper::BoundLibrary<UpdSdk::Exports> library;
    UpdateServiceInterface* service = nullptr;
};

// A program folder with the library, a public key and starting definitions.
class TestInstallation
{
public:
    // hooks: the test build of the library, with kill points.
    TestInstallation(const fs::path& publicKey, bool hooks = false);

    const fs::path& Folder() const { return folder.Path(); }
    fs::path Library() const { return Folder() / "UpdateServiceCom.dll"; }
    fs::path Plugins() const { return Folder() / "Plugins"; }

    // The files of the Plugins folder (name to content), update.txt and index.json aside.
    Files Definitions() const;
    // The version line of update.txt, or empty.
    std::string Version() const;
    // The names in the program folder, sorted, the switch lock aside.
    std::vector<std::string> Entries() const;

private:
    CorvaneTest::TemporaryFolder folder;
};
} // namespace UpdateLibraryTesting
