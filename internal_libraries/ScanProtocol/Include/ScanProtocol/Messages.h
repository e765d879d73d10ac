#pragma once
// The messages between the engine library and the resident engine service. A message travels as
// one frame: its body's length (4 bytes, little-endian), then the body, which is a type byte and
// the type's fields. Numbers are little-endian, strings a 4-byte length and their bytes. Every
// count and length has a hard bound, and decoding refuses a body with an unknown type, a field
// beyond its bound, or bytes left over: nothing a peer sends can make the reader allocate more
// than a frame's cap.
//
// A connection starts with Hello carrying the protocol version; the service answers HelloReply
// when it speaks that version and Refused otherwise, and then closes. A scan request carries the
// open file as a descriptor passed beside the frame, never a path.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ScanProtocol
{
constexpr std::uint32_t version = 1;
// The largest body a frame may carry.
constexpr std::size_t maxBody = 256 * 1024;
// Bounds of the fields.
constexpr std::size_t maxDetections = 256;
constexpr std::size_t maxMembers = 64;
constexpr std::size_t maxName = 1024;

struct Hello
{
    std::uint32_t version = ScanProtocol::version;
};
struct HelloReply
{
    std::uint32_t version = ScanProtocol::version;
};
// Refusal of a request or of the connection; the code is an engine result code.
struct Refused
{
    std::int32_t code = 0;
};
// Scan the descriptor passed with this frame.
struct ScanRequest
{
    bool scanArchives = true;
};
struct Detection
{
    std::uint32_t depth = 0;
    std::vector<std::string> members;
    std::string threatName;
};
struct ScanReply
{
    std::int32_t error = 0;
    std::vector<Detection> detections;
    // The verified signer of the content scanned, as code units of the peer's wide strings.
    std::optional<std::vector<std::uint32_t>> signer;
};
struct InfoRequest
{
};
struct InfoReply
{
    bool known = false;
    std::uint32_t version = 0;
    std::uint32_t releaseTime = 0;
};
// Load the definitions folder again and use the new set once it loaded.
struct SwitchRequest
{
};
struct SwitchReply
{
    std::int32_t result = 0;
};
struct StatsRequest
{
};
struct StatsReply
{
    std::uint64_t scans = 0;
    std::uint64_t cacheEntries = 0;
    std::uint32_t connections = 0;
    std::uint32_t switches = 0;
    std::uint32_t loads = 0; // sets loaded since the start, the first one included
};
// Whether the service's definitions folder is the folder passed beside this frame (the same
// folder, not only the same path).
struct FolderRequest
{
};
struct FolderReply
{
    bool serves = false;
};
// Load the set in the folder passed beside this frame, which is about to be installed as the
// service's definitions folder, and keep it until CommitRequest on the same connection: the reply
// is SwitchReply with the load's result, or Refused when the folder is not one that can become
// the service's (it does not lie beside it) or the service cannot read it as a set (the client
// then checks the set itself). Only one such set is kept; the connection's end drops it.
struct LoadRequest
{
};
// The set that LoadRequest loaded is now installed: serve it. SwitchReply with the result; the
// set is not served when the service's definitions folder is not the folder that was loaded.
struct CommitRequest
{
};

using Message = std::variant<Hello, HelloReply, Refused, ScanRequest, ScanReply, InfoRequest,
                             InfoReply, SwitchRequest, SwitchReply, StatsRequest, StatsReply,
                             FolderRequest, FolderReply, LoadRequest, CommitRequest>;

// The body of a message (without the length).
std::string Encode(const Message& message);
// The message of a body; none when the body is not exactly one well-formed message.
std::optional<Message> Decode(const std::string& body);
// The length prefix of a body of the given size.
std::string LengthPrefix(std::size_t size);
// The body length a prefix announces; none when it is above maxBody.
std::optional<std::size_t> BodyLength(const unsigned char prefix[4]);

// Where handles cannot travel beside a frame (a named pipe), each frame comes after eight bytes
// (little-endian) that carry the value of a handle passed with it, all ones when none is.
constexpr std::size_t handleFieldSize = 8;
constexpr std::uint64_t noHandle = ~std::uint64_t(0);
// What a frame may carry beside it: a file to scan with a scan request, a folder to identify with
// a folder request, a folder to read a definitions set from with a load request, nothing with any
// other message.
enum class Passes
{
    Nothing,
    File,
    Folder,
    SetFolder,
};
struct PipeHeader
{
    std::uint64_t handle = noHandle;
    std::size_t length = 0; // of the body that follows
};
// The handle field and length prefix of a frame with a body of the given size.
std::string PipeHeaderOf(std::uint64_t handle, std::size_t size);
// The header at the start of a frame (handleFieldSize + 4 bytes); none when the length is refused.
std::optional<PipeHeader> ParsePipeHeader(const unsigned char header[handleFieldSize + 4]);
// The message of a frame's body, and what its header says comes beside it; none when the body is
// malformed or a handle comes with a message that carries none.
std::optional<Message> DecodePipeFrame(const PipeHeader& header, const std::string& body,
                                       Passes& passes);
} // namespace ScanProtocol
