#include "Sockets.h"

#include <stdexcept>
#include <string>
#include <winsock2.h>

namespace CorvaneTest::Sockets
{
namespace
{
// Winsock is started once for the whole process and stays up.
void Start()
{
    static const bool started = []
    {
        WSADATA data;
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
            throw std::runtime_error("cannot start Winsock");
        return true;
    }();
    (void)started;
}

SOCKET Native(Handle socket)
{
    return static_cast<SOCKET>(socket);
}

int Length(std::size_t size)
{
    return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
}
} // namespace

Handle Listen(std::uint16_t wanted, std::uint16_t& port)
{
    Start();
    // Not inherited by the programs the tests start.
    const SOCKET listener =
        ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (listener == INVALID_SOCKET)
        throw std::runtime_error("cannot create a socket");
    // As with BSD sockets: the fixed test ports are bound again while earlier connections on
    // them linger in TIME_WAIT (Wine passes the option on to the host's sockets).
    const BOOL yes = TRUE;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes),
                 sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wanted);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 8) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    {
        ::closesocket(listener);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(wanted));
    }
    port = ntohs(address.sin_port);
    return static_cast<Handle>(listener);
}

Handle Accept(Handle listener, bool& retry)
{
    const SOCKET connection = ::accept(Native(listener), nullptr, nullptr);
    if (connection == INVALID_SOCKET)
    {
        const int error = ::WSAGetLastError();
        retry = error == WSAEINTR || error == WSAECONNRESET || error == WSAECONNABORTED;
        return Invalid;
    }
    retry = false;
    // Accepted sockets take over the listener's attributes, but make sure: a program started
    // while the connection is open must not hold it.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(connection), HANDLE_FLAG_INHERIT, 0);
    return static_cast<Handle>(connection);
}

long Send(Handle socket, const char* data, std::size_t size)
{
    return ::send(Native(socket), data, Length(size), 0);
}

long Receive(Handle socket, char* buffer, std::size_t size)
{
    return ::recv(Native(socket), buffer, Length(size), 0);
}

void ShutDown(Handle socket)
{
    // Shutting down does not end a blocked accept or receive with Winsock; cancelling the
    // socket's pending operations does.
    ::shutdown(Native(socket), SD_BOTH);
    ::CancelIoEx(reinterpret_cast<HANDLE>(Native(socket)), nullptr);
}

void Wake(std::uint16_t listenerPort)
{
    // An accept that was not yet waiting when ShutDown cancelled it returns for a connection.
    const SOCKET client =
        ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (client == INVALID_SOCKET)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(listenerPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::closesocket(client);
}

void Close(Handle socket)
{
    ::closesocket(Native(socket));
}
} // namespace CorvaneTest::Sockets
