#include "Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace CorvaneTest::Sockets
{
Handle Listen(std::uint16_t wanted, std::uint16_t& port)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        throw std::runtime_error("cannot create a socket");
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wanted);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 8) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    {
        ::close(listener);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(wanted));
    }
    port = ntohs(address.sin_port);
    return listener;
}

Handle Accept(Handle listener, bool& retry)
{
    const int connection = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    retry = connection < 0 && (errno == EINTR || errno == ECONNABORTED);
    return connection < 0 ? Invalid : connection;
}

long Send(Handle socket, const char* data, std::size_t size)
{
    for (;;)
    {
        const ssize_t count = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
        if (count >= 0 || errno != EINTR)
            return static_cast<long>(count);
    }
}

long Receive(Handle socket, char* buffer, std::size_t size)
{
    for (;;)
    {
        const ssize_t count = ::recv(static_cast<int>(socket), buffer, size, 0);
        if (count >= 0 || errno != EINTR)
            return static_cast<long>(count);
    }
}

void ShutDown(Handle socket)
{
    ::shutdown(static_cast<int>(socket), SHUT_RDWR);
}

void Wake(std::uint16_t)
{
    // Shutting a listener down already ends a blocked accept here.
}

void Close(Handle socket)
{
    ::close(static_cast<int>(socket));
}
} // namespace CorvaneTest::Sockets
