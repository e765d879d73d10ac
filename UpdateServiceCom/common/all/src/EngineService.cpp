// The resident engine service's part in an install: it loads the next set through a descriptor
// (a handle on Windows) of its folder, so that the set is loaded once for the check and for
// serving it.
#include "Platform.h"

#include "ScanProtocol/Channel.h"

#include <chrono>

namespace UpdateServiceCom::Platform
{
namespace
{
using namespace std::chrono_literals;
// A service that does not greet within this time is taken as absent.
constexpr auto greetingTime = 2s;
// Loading a real-size set takes tens of seconds on a busy machine.
constexpr auto loadTime = 600s;
constexpr auto answerTime = 60s;

class ConnectedServiceLoad : public ServiceLoad
{
public:
    explicit ConnectedServiceLoad(std::unique_ptr<ScanProtocol::Channel> channel)
        : channel(std::move(channel))
    {
    }

    bool Serve() override
    {
        ScanProtocol::Message reply;
        if (channel->Send(ScanProtocol::CommitRequest{}) != ScanProtocol::Outcome::Ok ||
            channel->Receive(reply, nullptr, answerTime) != ScanProtocol::Outcome::Ok)
            return false;
        const auto* served = std::get_if<ScanProtocol::SwitchReply>(&reply);
        return served && served->result == 0;
    }

private:
    std::unique_ptr<ScanProtocol::Channel> channel;
};
} // namespace

std::unique_ptr<ServiceLoad> LoadInEngineService(const std::string& socket,
                                                 const std::filesystem::path& folder, int& refusal)
{
    refusal = 0;
    ScanProtocol::OwnedDescriptor connection = ScanProtocol::ConnectAndGreet(socket, greetingTime);
    if (connection.Get() == -1)
        return nullptr;
    const ScanProtocol::OwnedDescriptor handed = OpenFolderToPass(folder);
    if (handed.Get() == -1)
        return nullptr;
    auto channel = std::make_unique<ScanProtocol::Channel>(std::move(connection));
    ScanProtocol::Message reply;
    if (channel->Send(ScanProtocol::LoadRequest{}, handed.Get()) != ScanProtocol::Outcome::Ok ||
        channel->Receive(reply, nullptr, loadTime) != ScanProtocol::Outcome::Ok)
        return nullptr;
    // Refused: the service keeps another folder's set and has no part in this install.
    const auto* loaded = std::get_if<ScanProtocol::SwitchReply>(&reply);
    if (!loaded)
        return nullptr;
    if (loaded->result != 0)
    {
        refusal = loaded->result;
        return nullptr;
    }
    return std::make_unique<ConnectedServiceLoad>(std::move(channel));
}
} // namespace UpdateServiceCom::Platform
