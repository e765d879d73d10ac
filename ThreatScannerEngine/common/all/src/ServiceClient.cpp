#include "ServiceClient.h"
#include "Actions.h"
#include "FileSystem.h"

#include "ScanProtocol/Channel.h"
#include "ThreatScanner/ThreatScanner.h"

namespace ThreatScannerEngine
{
namespace
{
using namespace std::chrono_literals;
// A service that does not greet within this time is taken as absent.
constexpr auto greetingTime = 2s;
// A scan may take the engine's longest scan time of one object; a little more is allowed
// before the service is taken as hung.
constexpr auto scanTime = 330s;
// Loading a large set of definitions takes a while.
constexpr auto switchTime = 600s;
constexpr auto answerTime = 10s;

class SocketConnection : public ServiceConnection
{
public:
    explicit SocketConnection(ScanProtocol::OwnedDescriptor socket) : channel(std::move(socket)) {}

    bool Scan(const Descriptor& file, bool scanArchives, FileScanResult& result) override
    {
        return ScanDescriptor(PassableHandle(file), scanArchives, result);
    }

    bool ScanBytes(const void* data, std::size_t size, bool scanArchives,
                   FileScanResult& result) override
    {
        const Descriptor content(FileOfBytes(data, size));
        return content.Valid() && ScanDescriptor(PassableHandle(content), scanArchives, result);
    }

    bool Information(DatabaseInformation& information) override
    {
        ScanProtocol::Message reply;
        if (!Ask(ScanProtocol::InfoRequest{}, -1, answerTime, reply))
            return false;
        const auto* info = std::get_if<ScanProtocol::InfoReply>(&reply);
        if (!info)
            return false;
        information.known = info->known;
        information.version = info->version;
        information.releaseTime = info->releaseTime;
        return true;
    }

    bool Serves(const std::string& definitionsFolder) override
    {
        const Descriptor folder(FolderToPass(definitionsFolder));
        ScanProtocol::Message reply;
        if (!folder.Valid() || !Ask(ScanProtocol::FolderRequest{}, folder.Get(), answerTime, reply))
            return false;
        const auto* answer = std::get_if<ScanProtocol::FolderReply>(&reply);
        return answer && answer->serves;
    }

    int Switch() override
    {
        ScanProtocol::Message reply;
        if (!Ask(ScanProtocol::SwitchRequest{}, -1, switchTime, reply))
            return ThreatScanner::Failed;
        const auto* switched = std::get_if<ScanProtocol::SwitchReply>(&reply);
        return switched ? switched->result : ThreatScanner::Failed;
    }

private:
    bool Ask(const ScanProtocol::Message& request, NativeHandle passed,
             std::chrono::milliseconds time, ScanProtocol::Message& reply)
    {
        if (broken)
            return false;
        if (channel.Send(request, passed, answerTime) != ScanProtocol::Outcome::Ok ||
            channel.Receive(reply, nullptr, time) != ScanProtocol::Outcome::Ok)
        {
            broken = true;
            return false;
        }
        return true;
    }

    bool ScanDescriptor(NativeHandle fd, bool scanArchives, FileScanResult& result)
    {
        ScanProtocol::Message reply;
        if (!Ask(ScanProtocol::ScanRequest{scanArchives}, fd, scanTime, reply))
            return false;
        if (const auto* refused = std::get_if<ScanProtocol::Refused>(&reply))
        {
            result = FileScanResult();
            result.error = refused->code;
            return true;
        }
        const auto* scanned = std::get_if<ScanProtocol::ScanReply>(&reply);
        if (!scanned)
        {
            broken = true;
            return false;
        }
        result = FileScanResult();
        result.error = scanned->error;
        for (const ScanProtocol::Detection& found : scanned->detections)
            result.detections.push_back({found.depth, found.members, found.threatName});
        if (scanned->signer)
        {
            std::wstring signer;
            for (const std::uint32_t unit : *scanned->signer)
                signer += static_cast<wchar_t>(unit);
            result.verifiedSigner = std::move(signer);
        }
        return true;
    }

    ScanProtocol::Channel channel;
    bool broken = false;
};
} // namespace

ServiceConnections::ServiceConnections(std::string socketPath,
                                       std::unique_ptr<ServiceConnection> kept)
    : socketPath(std::move(socketPath)), kept(std::move(kept))
{
}

bool ServiceConnections::Ask(std::unique_ptr<ServiceConnection>& connection,
                             const std::function<bool(ServiceConnection&)>& ask)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        connection = std::move(kept);
    }
    const bool reused = connection != nullptr;
    if (!reused)
        connection = ServiceConnection::Open(socketPath);
    if (connection && ask(*connection))
        return true;
    if (!reused)
        return false;
    connection = ServiceConnection::Open(socketPath);
    return connection && ask(*connection);
}

std::unique_ptr<ServiceConnection> ServiceConnection::Open(const std::string& socketPath)
{
    ScanProtocol::OwnedDescriptor socket =
        ScanProtocol::ConnectAndGreet(socketPath, std::chrono::milliseconds(greetingTime));
    if (socket.Get() == -1)
        return nullptr;
    return std::make_unique<SocketConnection>(std::move(socket));
}
} // namespace ThreatScannerEngine
