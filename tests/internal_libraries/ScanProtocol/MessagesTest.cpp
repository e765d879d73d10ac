#include "ScanProtocol/Messages.h"
#include "ScanProtocol/Peers.h"

#include <gtest/gtest.h>

namespace
{
using namespace ScanProtocol;

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (const int value : values)
        out += static_cast<char>(value);
    return out;
}

TEST(ScanProtocol, EveryMessageSurvivesEncodingAndDecoding)
{
    ScanReply reply;
    reply.error = -1073741824;
    reply.detections.push_back({2, {"outer.zip", "inner.exe"}, "Win.Test.EICAR_HDB-1"});
    reply.detections.push_back({0, {}, ""});
    reply.signer = std::vector<std::uint32_t>{'A', 0xDC80, 0x10FFFF};
    const Message messages[] = {Hello{7},        HelloReply{},
                                Refused{-5},     ScanRequest{false},
                                reply,           ScanReply{},
                                InfoRequest{},   InfoReply{true, 4294967295u, 1700000000u},
                                SwitchRequest{}, SwitchReply{0x40000003},
                                StatsRequest{},  StatsReply{1ull << 40, 3, 2, 1, 4},
                                FolderRequest{}, FolderReply{true},
                                LoadRequest{},   CommitRequest{}};
    for (const Message& message : messages)
    {
        const std::string body = Encode(message);
        const std::optional<Message> decoded = Decode(body);
        ASSERT_TRUE(decoded) << "type " << message.index();
        EXPECT_EQ(Encode(*decoded), body) << "type " << message.index();
    }
    const ScanReply back = std::get<ScanReply>(*Decode(Encode(reply)));
    EXPECT_EQ(back.detections[0].members[1], "inner.exe");
    EXPECT_EQ(back.detections[0].depth, 2u);
    EXPECT_EQ((*back.signer)[2], 0x10FFFFu);
}

TEST(ScanProtocol, MalformedBodiesAreRefused)
{
    const struct
    {
        const char* what;
        std::string body;
    } cases[] = {
        {"empty", ""},
        {"unknown type", Bytes({0x7F})},
        {"type zero", Bytes({0})},
        {"hello cut short", Bytes({1, 1, 0})},
        {"bytes after a message", Encode(InfoRequest{}) + "x"},
        {"boolean that is neither 0 nor 1", Bytes({4, 2})},
        {"too many detections", Bytes({5, 0, 0, 0, 0, 0x01, 0x01, 0, 0})},
        {"name longer than its bound",
         Bytes({5, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x04, 0, 0})},
        {"name longer than the body",
         Bytes({5, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 'a'})},
        {"huge member count",
         Bytes({5, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF})},
        {"over the frame cap", std::string(maxBody + 1, '\x06')},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(Decode(c.body)) << c.what;

    const unsigned char zero[4] = {0, 0, 0, 0};
    const unsigned char cap[4] = {0x00, 0x00, 0x04, 0x00};
    const unsigned char over[4] = {0x01, 0x00, 0x04, 0x00};
    const unsigned char huge[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(BodyLength(zero));
    EXPECT_EQ(BodyLength(cap), maxBody);
    EXPECT_FALSE(BodyLength(over));
    EXPECT_FALSE(BodyLength(huge));
}

// On a pipe a handle value travels before each frame: it is taken only with the messages that
// carry a file or a folder, and a frame whose length is refused is never read.
TEST(ScanProtocol, APipeFrameCarriesAHandleOnlyWhereOneIsExpected)
{
    const struct
    {
        const char* what;
        Message message;
        std::uint64_t handle;
        std::optional<Passes> passes; // none: the frame is refused
    } cases[] = {
        {"a greeting", Hello{}, noHandle, Passes::Nothing},
        {"a greeting with a handle", Hello{}, 0x10, std::nullopt},
        {"a switch request with a handle", SwitchRequest{}, 0x10, std::nullopt},
        {"a load request with a folder", LoadRequest{}, 0x1AC, Passes::SetFolder},
        {"a scan request with a file", ScanRequest{true}, 0x1A4, Passes::File},
        {"a scan request without one", ScanRequest{true}, noHandle, Passes::Nothing},
        {"a folder request with a folder", FolderRequest{}, 0x1A8, Passes::Folder},
    };
    for (const auto& c : cases)
    {
        const std::string body = Encode(c.message);
        const std::string frame = PipeHeaderOf(c.handle, body.size()) + body;
        const auto header = ParsePipeHeader(reinterpret_cast<const unsigned char*>(frame.data()));
        ASSERT_TRUE(header) << c.what;
        EXPECT_EQ(header->handle, c.handle) << c.what;
        Passes passes = Passes::Nothing;
        const std::optional<Message> decoded =
            DecodePipeFrame(*header, frame.substr(handleFieldSize + 4), passes);
        EXPECT_EQ(decoded.has_value(), c.passes.has_value()) << c.what;
        if (decoded && c.passes)
        {
            EXPECT_EQ(passes, *c.passes) << c.what;
        }
    }
    const std::string over = PipeHeaderOf(0x10, maxBody + 1);
    EXPECT_FALSE(ParsePipeHeader(reinterpret_cast<const unsigned char*>(over.data())));
}

TEST(ScanProtocol, AReplyTooLargeForAFrameKeepsItsFirstDetections)
{
    ScanReply reply;
    Detection big{1, std::vector<std::string>(maxMembers, std::string(maxName, 'm')),
                  std::string(maxName + 100, 't')};
    reply.detections.assign(maxDetections + 10, big);
    reply.signer = std::vector<std::uint32_t>(maxName + 5, 'S');
    const std::string body = Encode(reply);
    ASSERT_LE(body.size(), maxBody);
    const std::optional<Message> decoded = Decode(body);
    ASSERT_TRUE(decoded);
    const ScanReply& back = std::get<ScanReply>(*decoded);
    EXPECT_GT(back.detections.size(), 0u);
    EXPECT_LT(back.detections.size(), maxDetections);
    EXPECT_EQ(back.detections[0].threatName.size(), maxName);
    EXPECT_EQ(back.signer->size(), maxName);
}

TEST(ScanProtocol, OnlyLocalPipesOfTrustedAccountsAreAsked)
{
    const struct
    {
        const char* name;
        bool local;
    } pipes[] = {
        {R"(\\.\pipe\CorvaneEngineService)", true},
        {R"(\\.\PIPE\a\b)", true},
        {R"(\\.\pipe\)", false},
        {R"(\\server\pipe\CorvaneEngineService)", false},
        {R"(\\?\pipe\x)", false},
        {"//./pipe/x", false},
        {R"(\\.\pipe\a/..\b)", false},
        {"/run/corvane/engine.sock", false},
        {"", false},
    };
    for (const auto& pipe : pipes)
        EXPECT_EQ(IsLocalPipeName(pipe.name), pipe.local) << pipe.name;
    EXPECT_FALSE(IsLocalPipeName(std::string(R"(\\.\pipe\a)") + '\0'));
    EXPECT_FALSE(IsLocalPipeName(R"(\\.\pipe\)" + std::string(248, 'n')));
    EXPECT_TRUE(IsLocalPipeName(R"(\\.\pipe\)" + std::string(247, 'n')));

    const std::string self = "S-1-5-21-1004336348-1177238915-682003330-1001";
    const struct
    {
        const char* sid;
        bool trusted;
    } servers[] = {
        {"S-1-5-18", true},                                                        // the system
        {"S-1-5-19", true},                                                        // local service
        {"S-1-5-80-3880718306-3832830129-1677859214-2598158968-1052248003", true}, // NT SERVICE
        {"S-1-5-21-1004336348-1177238915-682003330-1001", true},  // the client itself
        {"S-1-5-20", false},                                      // network service
        {"S-1-5-21-1004336348-1177238915-682003330-1002", false}, // another user
        {"S-1-5-32-544", false},                                  // a group
        {"S-1-5-80-0", false},                                    // all services
        {"S-1-5-80-1-2-3-4", false},
        {"S-1-5-80-1-2-3-4-5-6", false},
        {"S-1-5-80-1-2-3-4-", false},
        {"S-1-5-800-1-2-3-4-5", false},
        {"S-1-5-18-1", false},
        {"s-1-5-18", false},
        {"", false},
    };
    for (const auto& server : servers)
        EXPECT_EQ(ServerAccountIsTrusted(server.sid, self), server.trusted) << server.sid;
    EXPECT_FALSE(ServerAccountIsTrusted("", ""));
}
} // namespace
