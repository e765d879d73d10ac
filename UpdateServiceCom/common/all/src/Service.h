#pragma once

#include "Index.h"
#include "Platform.h"
#include "UpdateServiceCom/UpdateServiceInterface.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace UpdateServiceCom
{
class HttpClient;

// The service object handed out by UpdSdkCreate. Update fetches and verifies the signed index
// of the server's current release and downloads the files that the installation lacks into the
// staging folder; Install makes that release the live definitions set.
class Service final : public UpdateServiceInterface
{
public:
    Service() = default;
    ~Service() = default;

    int SetOption(int option, void* value) override;
    int Update() override;
    int Install() override;

private:
    // What Update left for Install.
    struct Pending
    {
        Index index;
        std::string indexText;
        std::set<std::string> staged;
    };

    void RunUpdate();
    void RunInstall();
    void TakeLock();
    Index FetchVerifiedIndex(const HttpClient& http, std::string& text);
    template <typename Action> int Guarded(Action action);
    int Notify(int event, void* data) const;
    template <typename Action> auto Retrying(Action action) -> decltype(action());

    std::string server;
    std::filesystem::path localPath;
    bool useVersionId = false;
    bool usePatches = false;
    UpdSdk::Callback* callback = nullptr;
    void* context = nullptr;
    std::uint32_t stallSeconds = 30;
    Platform::FileLock lock;
    std::optional<Pending> pending;
};
} // namespace UpdateServiceCom
