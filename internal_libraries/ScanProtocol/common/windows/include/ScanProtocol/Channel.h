#pragma once
// A connection that carries protocol frames over a local named pipe, with a file handle passed
// beside a frame. Every wait is bounded: a peer that sends nothing, or half a frame, ends the read
// with a time-out instead of holding the caller.
//
// On the pipe each frame comes after eight bytes (little-endian) that carry the value of a handle
// passed with it, all ones when none is. The sender duplicates its handle into the receiving
// process (read access only) and sends the new value; the receiver takes a value only where a
// handle is expected, and only when it names a disk file that is none of its own (see Receive).
// The receiver closes what it took.
#include "ScanProtocol/Messages.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace ScanProtocol
{
enum class Outcome
{
    Ok,
    Closed,   // the peer closed the connection between frames
    TimedOut, // nothing, or not all of a frame, came in time
    Invalid,  // the frame was too large or malformed, or its handle was refused
    Failed,   // the system refused the call
};

// The pipe of the engine service that the program asks unless its settings name another.
inline constexpr const char* defaultEndpoint = "\\\\.\\pipe\\CorvaneEngineService";

// Owns one handle (its value; -1 for none) and closes it.
class OwnedDescriptor
{
public:
    OwnedDescriptor() = default;
    explicit OwnedDescriptor(std::intptr_t handle) : handle(handle) {}
    ~OwnedDescriptor() { Reset(); }
    OwnedDescriptor(OwnedDescriptor&& other) noexcept : handle(other.Release()) {}
    OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept
    {
        if (this != &other)
        {
            Reset();
            handle = other.Release();
        }
        return *this;
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

    std::intptr_t Get() const { return handle; }
    std::intptr_t Release()
    {
        const std::intptr_t released = handle;
        handle = -1;
        return released;
    }
    void Reset(std::intptr_t other = -1);

private:
    std::intptr_t handle = -1;
};

class Channel
{
public:
    // The pipe must have been opened for overlapped use (as Connect and Listen do).
    explicit Channel(OwnedDescriptor pipe);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Sends one message, with a read-only duplicate of the handle in the peer's process beside
    // it when passed is not -1. The duplicate is closed again when the message does not go out.
    Outcome Send(const Message& message, std::intptr_t passed = -1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Receives one message; a handle that came with it is put into passed. A frame that carries
    // one where none is expected (no passed, or a message that carries none, see Passes), or a
    // value that does not name a disk file or folder with exactly the access of a passed
    // duplicate of its kind (read only), or that names one of the standard handles, is Invalid;
    // the value is then left alone: it may name a handle of this process that the peer never
    // passed. The time-out counts from the call to the frame's last byte; a frame that has begun
    // gets at most frameTimeout for the rest.
    Outcome Receive(Message& message, OwnedDescriptor* passed, std::chrono::milliseconds timeout,
                    std::chrono::milliseconds frameTimeout = std::chrono::seconds(10));
    // Sends raw bytes as they are, for tests of what a hostile peer may send.
    Outcome SendRaw(const std::string& bytes,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::intptr_t Descriptor() const { return pipe.Get(); }

private:
    Outcome Write(const std::string& bytes, std::chrono::steady_clock::time_point deadline);
    Outcome Read(void* into, std::size_t size, std::chrono::steady_clock::time_point deadline,
                 bool first);

    OwnedDescriptor pipe;
    OwnedDescriptor event;    // signalled when an overlapped transfer ends
    OwnedDescriptor receiver; // the peer's process, opened to pass handles into it
};

// Connects to the pipe; an invalid handle when it is not a local pipe or nothing serves it.
OwnedDescriptor Connect(const std::string& name, std::chrono::milliseconds timeout);
// Whether the process that serves the connected pipe runs as the system, the local service
// account, a service's own account or this process's user.
bool ServerIsTrusted(std::intptr_t pipe);
// Connects, checks who serves the pipe (ServerIsTrusted), says hello and waits for the reply; an
// invalid handle when no trusted service of this protocol version answers within the time-out.
OwnedDescriptor ConnectAndGreet(const std::string& name, std::chrono::milliseconds timeout);

// Serves a pipe's name with instances that always wait for clients: two are armed at once, and a
// connected one is replaced by a new armed instance before it is handed out, so that a client
// never finds the name missing or every instance busy while a connection is being taken. Each
// instance is open to the system, administrators and this process's user only.
class PipeListener
{
public:
    PipeListener();
    ~PipeListener();
    PipeListener(const PipeListener&) = delete;
    PipeListener& operator=(const PipeListener&) = delete;

    // Creates the instances. Fails when any process serves the name already, so that nobody can
    // have put a pipe of their own in its place.
    bool Open(const std::string& name);
    // Waits until a client connects (Ok, its connected instance in client), the stop event is
    // signalled (Closed), or the time passed (TimedOut). The waiting instances stay armed
    // throughout: a client that connects between two calls is taken by the next one.
    Outcome Accept(OwnedDescriptor& client, std::intptr_t stop, std::chrono::milliseconds timeout);

private:
    struct Waiting;
    // Creates an instance and arms its wait for a client; false when the system refused.
    bool Arm(Waiting& waiting, bool first);

    std::string name;
    std::unique_ptr<Waiting> waiting[2];
};
// Ends a served connection: the client's end is closed and a wait of this process on the
// instance ends at once.
void Disconnect(std::intptr_t instance);

// Whether the client of a connected instance runs as the system, this process's user or an
// administrator.
bool PeerIsTrusted(std::intptr_t instance);
} // namespace ScanProtocol
