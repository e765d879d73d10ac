#pragma once
// A connection that carries protocol frames over a local stream socket, with a descriptor
// passed beside a frame. Every wait is bounded: a peer that sends nothing, or half a frame,
// ends the read with a time-out instead of holding the caller.
#include "ScanProtocol/Messages.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace ScanProtocol
{
enum class Outcome
{
    Ok,
    Closed,   // the peer closed the connection between frames
    TimedOut, // nothing, or not all of a frame, came in time
    Invalid,  // the frame was too large, malformed, or came with more than one descriptor
    Failed,   // the system refused the call
};

// The socket of the engine service that the program asks unless its settings name another.
inline constexpr const char* defaultEndpoint = "/run/corvane/engine.sock";

// Owns one descriptor and closes it.
class OwnedDescriptor
{
public:
    OwnedDescriptor() = default;
    explicit OwnedDescriptor(int fd) : fd(fd) {}
    ~OwnedDescriptor() { Reset(); }
    OwnedDescriptor(OwnedDescriptor&& other) noexcept : fd(other.Release()) {}
    OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept
    {
        if (this != &other)
        {
            Reset();
            fd = other.Release();
        }
        return *this;
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

    int Get() const { return fd; }
    int Release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
    void Reset(int other = -1);

private:
    int fd = -1;
};

class Channel
{
public:
    explicit Channel(OwnedDescriptor socket) : socket(std::move(socket)) {}

    // Sends one message, with the descriptor passed beside it when it is not -1.
    Outcome Send(const Message& message, int passed = -1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Receives one message; a descriptor that came with it is put into passed. The time-out
    // counts from the call to the frame's last byte; a frame that has begun gets at most
    // frameTimeout for the rest.
    Outcome Receive(Message& message, OwnedDescriptor* passed, std::chrono::milliseconds timeout,
                    std::chrono::milliseconds frameTimeout = std::chrono::seconds(10));
    // Sends raw bytes as they are, for tests of what a hostile peer may send.
    Outcome SendRaw(const std::string& bytes,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

    int Descriptor() const { return socket.Get(); }

private:
    OwnedDescriptor socket;
};

// Connects to the socket at the path; an invalid descriptor when nothing listens there.
OwnedDescriptor Connect(const std::string& path);
// Whether nobody but root or this process's user can have put the socket at the absolute path:
// every folder from the root down belongs to one of them and is writable by nobody else (or, like
// /tmp, keeps others' names apart, and then the socket belongs to one of them too), and no part
// of the path is a link.
bool SocketPlaceIsTrusted(const std::string& path);
// Connects, says hello and waits for the reply; an invalid descriptor when the socket's place is
// not trusted (see SocketPlaceIsTrusted) or no service of this protocol version answers within
// the time-out.
OwnedDescriptor ConnectAndGreet(const std::string& path, std::chrono::milliseconds timeout);

// A socket listening at a path. The folder that holds it stays open, so that its entry is
// removed only while it is still the socket that was bound there: whatever someone put under the
// name meanwhile stays.
class Listener
{
public:
    Listener() = default;
    Listener(Listener&&) noexcept = default;
    Listener& operator=(Listener&&) noexcept = default;

    // The listening descriptor; -1 when listening failed.
    int Get() const { return socket.Get(); }
    // Removes the socket's entry if it is still the one bound; the socket goes on listening.
    void RemoveEntry();

private:
    friend Listener Listen(const std::string& path, unsigned int mode);

    OwnedDescriptor socket;
    OwnedDescriptor folder;
    std::string name;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// Listens on a new socket at the path with the mode given. A socket left there by a service that
// ended is replaced; anything else under the name, or a socket that a running service answers
// on, stays and listening fails (Get() is then -1).
Listener Listen(const std::string& path, unsigned int mode);

// Whether the peer of a connected socket runs as root, as this process's own user, or with the
// given group as its primary group; false when that cannot be told.
bool PeerIsTrusted(int socket, std::uint32_t group);

// Ends a served connection: the client sees it close and a wait of this process on it ends at
// once.
void Disconnect(int socket);
} // namespace ScanProtocol
