#pragma once

#include <cstddef>
#include <cstdint>

// The few socket calls the loopback test servers make, over BSD sockets or Winsock.
namespace CorvaneTest::Sockets
{
// A socket (a descriptor, or a Winsock SOCKET); Invalid when there is none.
using Handle = std::intptr_t;
constexpr Handle Invalid = -1;

// A socket listening on 127.0.0.1 at the wanted port (0: a free one); sets the port it got.
// Throws when it cannot listen.
Handle Listen(std::uint16_t wanted, std::uint16_t& port);

// The next connection, or Invalid; retry says whether the failure was a passing one
// (interrupted, or a connection given up before it was accepted).
Handle Accept(Handle listener, bool& retry);

// Sends or receives; returns the byte count, 0 at the end, negative on failure.
long Send(Handle socket, const char* data, std::size_t size);
long Receive(Handle socket, char* buffer, std::size_t size);

// Stops traffic both ways so that a thread blocked on the socket returns, a blocked Accept of
// a listener included. Where that does not hold for an Accept entered later, Wake connects to
// the listener so that it returns.
void ShutDown(Handle socket);
void Wake(std::uint16_t listenerPort);
void Close(Handle socket);
} // namespace CorvaneTest::Sockets
