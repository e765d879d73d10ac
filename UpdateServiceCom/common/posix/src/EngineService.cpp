// The resident engine service's part in an install: it loads the next set through a descriptor of
// its folder, so that the set is loaded once for the check and for serving it.
#include "Platform.h"

#include "ScanProtocol/Channel.h"

#include <chrono>
#include <fcntl.h>

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

class SocketServiceLoad : public ServiceLoad
{
public:
    explicit SocketServiceLoad(ScanProtocol::Channel channel) : channel(std::move(channel)) {}

    bool Serve() override
    {
        ScanProtocol::Message reply;
        if (channel.Send(ScanProtocol::CommitRequest{}) != ScanProtocol::Outcome::Ok ||
            channel.Receive(reply, nullptr, answerTime) != ScanProtocol::Outcome::Ok)
            return false;
        const auto* served = std::get_if<ScanProtocol::SwitchReply>(&reply);
        return served && served->result == 0;
    }

private:
    ScanProtocol::Channel channel;
};
} // namespace

std::unique_ptr<ServiceLoad> LoadInEngineService(const std::string& socket,
                                                 const std::filesystem::path& folder, int& refusal)
{
    refusal = 0;
    ScanProtocol::OwnedDescriptor connection = ScanProtocol::ConnectAndGreet(socket, greetingTime);
    if (connection.Get() < 0)
        return nullptr;
    const ScanProtocol::OwnedDescriptor handed(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (handed.Get() < 0)
        return nullptr;
    ScanProtocol::Channel channel(std::move(connection));
    ScanProtocol::Message reply;
    if (channel.Send(ScanProtocol::LoadRequest{}, handed.Get()) != ScanProtocol::Outcome::Ok ||
        channel.Receive(reply, nullptr, loadTime) != ScanProtocol::Outcome::Ok)
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
    return std::make_unique<SocketServiceLoad>(std::move(channel));
}
} // namespace UpdateServiceCom::Platform
