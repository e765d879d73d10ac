#include "Service.h"

#include "Crypto.h"
#include "DefinitionsFolder.h"
#include "Failure.h"
#include "Http.h"
#include "TestHooks.h"
#include "UpdateServiceCom/UpdateServiceCom.h"

#include "ProcessHelper/Process.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace UpdateServiceCom
{
namespace
{
constexpr std::size_t MaxIndexBytes = std::size_t{4} << 20;
constexpr std::size_t MaxSignatureBytes = 1024;
constexpr std::size_t Ed25519SignatureBytes = 64;

constexpr const char* PublicKeyFileName = "UpdateServiceCom.pub";
constexpr const char* LockFileName = "Plugins.lock";

constexpr int Accepted = 0;
constexpr int Refused = 1;

// The folder this library was loaded from.
std::filesystem::path LibraryFolder()
{
    try
    {
        return ProcessHelper::Process::ModuleOf(reinterpret_cast<const void*>(&LibraryFolder))
            .parent_path()
            .native();
    }
    catch (...)
    {
        throw Failure(Internal, "Couldn't find the library's own file");
    }
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// The sequence of the installed release, or 0 when the installation has no readable index.
std::uint64_t InstalledSequence(const std::string& text)
{
    if (text.empty())
        return 0;
    try
    {
        return ParseIndex(text).sequence;
    }
    catch (const Failure&)
    {
        return 0;
    }
}
} // namespace

int Service::SetOption(int option, void* value)
{
    switch (option)
    {
    case UpdSdk::OptionServer:
    {
        const char* url = static_cast<const char*>(value);
        if (!url)
            return Refused;
        std::string text = url;
        if (StartsWith(text, "file:"))
        {
            // file:/path, file:///path, and on Windows file:C:\path or file:///C:/path.
            std::string path = text.substr(5);
            if (StartsWith(path, "//"))
            {
                path.erase(0, 2);
                if (!StartsWith(path, "/"))
                    return Refused; // a host name
            }
            if (path.size() > 2 && path[0] == '/' && path[2] == ':')
                path.erase(0, 1);
            try
            {
                sourceFolder = Platform::PathFromUtf8(path);
            }
            catch (const std::exception&)
            {
                return Refused;
            }
            if (path.empty() || !sourceFolder.is_absolute())
                return Refused;
            server = text;
            source = Source::Folder;
            return Accepted;
        }
        if (!StartsWith(text, "http://") && !StartsWith(text, "https://"))
            return Refused;
        while (text.back() == '/')
            text.pop_back();
        server = text;
        const std::string releasePath = "/av64bit";
        source =
            text.size() >= releasePath.size() && text.compare(text.size() - releasePath.size(),
                                                              releasePath.size(), releasePath) == 0
                ? Source::Release
                : Source::Mirror;
        return Accepted;
    }
    case UpdSdk::OptionLocalPath:
    {
        const wchar_t* path = static_cast<const wchar_t*>(value);
        if (!path || !*path)
            return Refused;
        try
        {
            localPath = Platform::ToPath(path);
        }
        catch (const std::exception&)
        {
            return Refused;
        }
        return Accepted;
    }
    case UpdSdk::OptionEngineService:
    {
        const wchar_t* path = static_cast<const wchar_t*>(value);
        try
        {
            engineService = path ? Platform::ToPath(path).string() : std::string();
        }
        catch (const std::exception&)
        {
            return Refused;
        }
        return Accepted;
    }
    case UpdSdk::OptionUseVersionId:
    case UpdSdk::OptionUsePatches:
        if (!value)
            return Refused;
        (option == UpdSdk::OptionUseVersionId ? useVersionId : usePatches) =
            *static_cast<const bool*>(value);
        return Accepted;
    case UpdSdk::OptionUpdateCallback:
        callback = reinterpret_cast<UpdSdk::Callback*>(value);
        return Accepted;
    case UpdSdk::OptionUpdateCallbackContext:
        context = value;
        return Accepted;
    case OptionStallTimeout:
        if (!value || *static_cast<const std::uint32_t*>(value) == 0)
            return Refused;
        stallSeconds = *static_cast<const std::uint32_t*>(value);
        return Accepted;
    default:
        return Refused;
    }
}

int Service::Update()
{
    return Guarded([this] { RunUpdate(); });
}

int Service::Install()
{
    return Guarded([this] { RunInstall(); });
}

// Turns failures into result codes; a failed call leaves the installation to others again.
template <typename Action> int Service::Guarded(Action action)
{
    try
    {
        action();
        return Ok;
    }
    catch (const Failure& failure)
    {
        lock.Release();
        return failure.Code();
    }
    catch (...)
    {
        lock.Release();
        return Internal;
    }
}

int Service::Notify(int event, void* data) const
{
    return callback ? callback(event, data, context) : 0;
}

std::function<void(std::uint64_t)> Service::Progress(std::uint64_t done, std::uint64_t total,
                                                     std::uint64_t fileSize) const
{
    // Progress goes out at most once per percent of the whole download, and when the file is
    // complete.
    return [this, done, total, fileSize,
            lastPercent = ~std::uint64_t{0}](std::uint64_t received) mutable
    {
        std::uint64_t overall = done + received;
        const std::uint64_t percent = overall * 100 / std::max<std::uint64_t>(total, 1);
        if (percent != lastPercent || received == fileSize)
        {
            lastPercent = percent;
            Notify(UpdSdk::EventBytesDone, &overall);
        }
    };
}

void Service::TakeLock()
{
    if (server.empty() || localPath.empty())
        throw Failure(NotConfigured, "The server or the local path is not set");
    if (lock.Held())
        return;
    const std::filesystem::path file = localPath / LockFileName;
    switch (
        lock.Lock(boost::filesystem::path(file.native()), FileSystemHelper::LockMode::Exclusive))
    {
    case FileSystemHelper::LockResult::Locked:
        return;
    case FileSystemHelper::LockResult::Busy:
        throw Failure(Busy, "Another update is running");
    case FileSystemHelper::LockResult::Failed:
        break;
    }
    throw Failure(LocalFileError, "Couldn't open " + file.string());
}

void Service::UpToDate(const DefinitionsFolder& folder)
{
    folder.DropStaging();
    lock.Release();
    Notify(UpdSdk::EventUpToDate, nullptr);
}

Index Service::FetchVerifiedIndex(const HttpClient& http, std::string& text)
{
    // The key is loaded before anything is downloaded: without it nothing can be trusted.
    const PublicKey key(LibraryFolder() / PublicKeyFileName);
    text = Retrying([&] { return http.Fetch(server + "/index.json", MaxIndexBytes); });
    std::string signature;
    try
    {
        signature =
            Retrying([&] { return http.Fetch(server + "/index.json.sig", MaxSignatureBytes); });
    }
    catch (const Failure& failure)
    {
        // A signature that is not there, or is too long to be one, leaves the index unsigned.
        if (failure.Code() == Oversized || (failure.Code() == ServerError && !failure.RetryQuery()))
            throw Failure(IndexUnsigned, "The definitions index is not signed");
        throw;
    }
    if (signature.size() != Ed25519SignatureBytes)
        throw Failure(IndexUnsigned, "The definitions index signature is not a signature");
    if (!key.Verifies(text, signature))
        throw Failure(IndexBadSignature, "The definitions index signature does not verify");
    return ParseIndex(text);
}

void Service::RunUpdate()
{
    if (source != Source::Release)
        return RunOfficialUpdate();
    TakeLock();
    pending.reset();
    const DefinitionsFolder folder(localPath, pauses);
    folder.Recover();
    Notify(UpdSdk::EventCheckingForUpdate, nullptr);

    const HttpClient http(stallSeconds);
    std::string indexText;
    const Index index = FetchVerifiedIndex(http, indexText);
    const std::string installedText = folder.InstalledIndexText();
    if (InstalledSequence(installedText) > index.sequence)
        throw Failure(IndexRollback, "The server offers older definitions than installed");

    std::vector<const IndexFile*> needed;
    std::uint64_t total = 0;
    for (const IndexFile& file : index.files)
    {
        if (!folder.HasCurrentCopy(file))
        {
            needed.push_back(&file);
            total += file.size;
        }
    }
    if (needed.empty() && installedText == indexText && folder.ShowsVersion(index.version))
        return UpToDate(folder);

    Notify(UpdSdk::EventTotalBytes, &total);
    folder.ResetStaging();
    try
    {
        std::set<std::string> staged;
        std::uint64_t done = 0;
        for (const IndexFile* file : needed)
        {
            Notify(UpdSdk::EventFileName, const_cast<char*>(file->name.c_str()));
            Retrying(
                [&]
                {
                    const auto progress = Progress(done, total, file->size);
                    const auto target = folder.Staging() / file->name;
                    if (http.Download(server + "/" + file->name, target, file->size, progress) !=
                        file->sha256)
                    {
                        std::error_code ignored;
                        std::filesystem::remove(target, ignored);
                        throw Failure(DigestMismatch, "The digest of " + file->name + " is wrong",
                                      QueryCorrupted);
                    }
                });
            done += file->size;
            staged.insert(file->name);
            TestHooks::KillPoint(TestHooks::FirstFileStaged);
        }
        pending = Pending{index, indexText, std::move(staged)};
    }
    catch (...)
    {
        folder.DropStaging();
        throw;
    }
    Notify(UpdSdk::EventDownloadDone, nullptr);
    std::uint64_t waiting = std::max<std::uint64_t>(needed.size(), 1);
    Notify(UpdSdk::EventInstallPending, &waiting);
}

void Service::RunInstall()
{
    TakeLock();
    const DefinitionsFolder folder(localPath, pauses);
    try
    {
        folder.Recover();
        if (!pending)
            throw Failure(NothingToInstall, "Nothing was downloaded to install");
        folder.Install(pending->index, pending->indexText, pending->staged, engineService);
    }
    catch (...)
    {
        pending.reset();
        folder.DropStaging();
        throw;
    }
    pending.reset();
    folder.DropStaging();
    lock.Release();
}
} // namespace UpdateServiceCom
