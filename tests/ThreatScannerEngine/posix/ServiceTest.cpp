// Where a client on POSIX finds the engine service: only a socket that nobody but root or its own
// user could have put in place.
#include "EngineHarness.h"

#include "ScanProtocol/Channel.h"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <gtest/gtest.h>

namespace
{
using namespace EngineTest;
using namespace std::chrono_literals;

// The service decides what is clean, so a client asks only a socket that nobody but root or its
// own user could have put in place.
TEST(EngineService, ClientsAskOnlyASocketNobodyElseCouldHavePlaced)
{
    EngineInstallation installation(false, true);
    const EngineService& service = *installation.Service();
    const fs::path folder = installation.Folder() / "sockets";
    fs::create_directories(folder);
    const fs::path moved = folder / "engine.sock";
    fs::rename(service.Socket(), moved);
    fs::create_symlink(moved, folder / "link.sock");
    const struct
    {
        fs::perms folderMode;
        fs::path socket;
        bool asked;
    } cases[] = {
        {fs::perms::owner_all, moved, true},
        {fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read, moved, true},
        {fs::perms::all_all, moved, false},
        {fs::perms::owner_all | fs::perms::group_write, moved, false},
        {fs::perms::all_all | fs::perms::sticky_bit, moved, true},
        {fs::perms::owner_all, folder / "link.sock", false},
        {fs::perms::owner_all, folder / "missing.sock", false},
    };
    for (const auto& test : cases)
    {
        fs::permissions(folder, test.folderMode);
        SCOPED_TRACE(test.socket.string() + " in a folder of mode " +
                     std::to_string(static_cast<unsigned>(test.folderMode)));
        EXPECT_EQ(ScanProtocol::SocketPlaceIsTrusted(test.socket.string()), test.asked);
        EXPECT_EQ(ScanProtocol::ConnectAndGreet(test.socket.string(), 5s).Get() >= 0, test.asked);
    }
    EXPECT_FALSE(ScanProtocol::SocketPlaceIsTrusted("relative/engine.sock"));
    EXPECT_FALSE(
        ScanProtocol::SocketPlaceIsTrusted((folder / ".." / "sockets" / "engine.sock").string()));
    fs::permissions(folder, fs::perms::owner_all);
    fs::rename(moved, service.Socket());
}
} // namespace
