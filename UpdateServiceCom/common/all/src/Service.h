#pragma once

#include "Index.h"
#include "Pauses.h"
#include "Platform.h"
#include "UpdateServiceCom/UpdateServiceInterface.h"

#include "Failure.h"

#include "FileSystemHelper/HeldFile.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace UpdateServiceCom
{
class DefinitionsFolder;
class HttpClient;

// The service object handed out by UpdSdkCreate. Update fetches and verifies the signed index
// of the server's current release and downloads the files that the installation lacks into the
// staging folder; Install makes that release the live definitions set.
class Service final : public UpdateServiceInterface
{
public:
    explicit Service(const Pauses& pauses = {}) : pauses(pauses) {}
    ~Service() = default;

    int SetOption(int option, void* value) override;
    int Update() override;
    int Install() override;

    // Where the definitions come from, by the server URL: a signed release channel (an http(s)
    // URL whose path ends in /av64bit), a private mirror of the official databases (any other
    // http(s) URL) or a local folder that the distribution's updater keeps (a file: URL).
    enum class Source
    {
        Release,
        Mirror,
        Folder
    };

private:
    // What Update left for Install.
    struct Pending
    {
        Index index;
        std::string indexText;
        std::set<std::string> staged;
    };

    void RunUpdate();
    void RunOfficialUpdate();
    void RunInstall();
    void TakeLock();
    // Ends an update that found the installation current.
    void UpToDate(const DefinitionsFolder& folder);
    Index FetchVerifiedIndex(const HttpClient& http, std::string& text);
    template <typename Action> int Guarded(Action action);
    int Notify(int event, void* data) const;
    // Reports the bytes done of a download of total bytes while a file of fileSize bytes arrives
    // after done bytes (event 70).
    std::function<void(std::uint64_t)> Progress(std::uint64_t done, std::uint64_t total,
                                                std::uint64_t fileSize) const;
    template <typename Action> auto Retrying(Action action) -> decltype(action());

    std::string server;
    Source source = Source::Release;
    std::filesystem::path sourceFolder;
    std::filesystem::path localPath;
    std::string engineService; // the engine service's socket, empty for none
    bool useVersionId = false;
    bool usePatches = false;
    UpdSdk::Callback* callback = nullptr;
    void* context = nullptr;
    std::uint32_t stallSeconds = 30;
    Pauses pauses;
    // Held from the start of Update or Install to its end, so that two processes never work on
    // one installation at once.
    FileSystemHelper::HeldFile lock;
    std::optional<Pending> pending;
};
// A new service object that waits as pauses say, counted among those UpdSdkDestroy destroys; null
// when the library cannot start.
UpdateServiceInterface* CreateService(const Pauses& pauses);

// However often the host says yes, one transfer is not tried more often than this.
inline constexpr int MaxRetries = 20;

// Runs a transfer again while it fails in a passing way and the host answers the query with 1.
template <typename Action> auto Service::Retrying(Action action) -> decltype(action())
{
    for (int retries = 0;; ++retries)
    {
        try
        {
            return action();
        }
        catch (const Failure& failure)
        {
            if (!failure.RetryQuery() || retries >= MaxRetries ||
                Notify(failure.RetryQuery(), nullptr) != 1)
                throw;
            if (failure.RetryQuery() != QueryCorrupted)
                std::this_thread::sleep_for(pauses.retry);
        }
    }
}

} // namespace UpdateServiceCom
