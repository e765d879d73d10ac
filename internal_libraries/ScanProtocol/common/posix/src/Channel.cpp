#include "ScanProtocol/Channel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ScanProtocol
{
namespace
{
using Clock = std::chrono::steady_clock;

// Waits until the socket is ready for the events or the deadline passed.
Outcome Wait(int fd, short events, Clock::time_point deadline)
{
    for (;;)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return Outcome::TimedOut;
        pollfd entry{fd, events, 0};
        const int ready =
            ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (ready > 0)
            return Outcome::Ok;
        if (ready < 0 && errno != EINTR)
            return Outcome::Failed;
    }
}

// Closes every descriptor a control message carried.
void CloseAll(msghdr& header)
{
    for (cmsghdr* control = CMSG_FIRSTHDR(&header); control;
         control = CMSG_NXTHDR(&header, control))
    {
        if (control->cmsg_level != SOL_SOCKET || control->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t count = (control->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i)
        {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(control) + i * sizeof(int), sizeof fd);
            ::close(fd);
        }
    }
}

// Reads exactly size bytes, taking at most one descriptor that comes with them.
Outcome ReadExactly(int fd, void* into, std::size_t size, OwnedDescriptor* passed,
                    Clock::time_point deadline, bool first)
{
    std::size_t got = 0;
    while (got < size)
    {
        if (const Outcome ready = Wait(fd, POLLIN, deadline); ready != Outcome::Ok)
            return ready;
        iovec part{static_cast<char*>(into) + got, size - got};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t count = ::recvmsg(fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (count < 0)
        {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return Outcome::Failed;
        }
        // Descriptors are only taken with the first bytes of a frame, one at most.
        bool refused = (header.msg_flags & MSG_CTRUNC) != 0;
        int taken = -1;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c && !refused; c = CMSG_NXTHDR(&header, c))
        {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            if (c->cmsg_len != CMSG_LEN(sizeof(int)) || taken != -1 || !passed ||
                passed->Get() != -1)
                refused = true;
            else
                std::memcpy(&taken, CMSG_DATA(c), sizeof taken);
        }
        if (refused)
        {
            CloseAll(header);
            return Outcome::Invalid;
        }
        if (taken != -1)
            passed->Reset(taken);
        if (count == 0)
            return first && got == 0 ? Outcome::Closed : Outcome::Failed;
        got += static_cast<std::size_t>(count);
    }
    return Outcome::Ok;
}

Outcome WriteAll(int fd, const std::string& bytes, int passed, Clock::time_point deadline)
{
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        if (const Outcome ready = Wait(fd, POLLOUT, deadline); ready != Outcome::Ok)
            return ready;
        iovec part{const_cast<char*>(bytes.data()) + sent, bytes.size() - sent};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        if (passed != -1 && sent == 0)
        {
            std::memset(control, 0, sizeof control);
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&header);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &passed, sizeof passed);
        }
        const ssize_t count = ::sendmsg(fd, &header, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (count < 0)
        {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return errno == EPIPE || errno == ECONNRESET ? Outcome::Closed : Outcome::Failed;
        }
        sent += static_cast<std::size_t>(count);
    }
    return Outcome::Ok;
}

// A new stream socket and the address of the path; an invalid descriptor when the path does not
// fit an address.
OwnedDescriptor NewSocket(const std::string& path, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path ||
        path.find('\0') != std::string::npos)
        return {};
    std::memcpy(address.sun_path, path.data(), path.size());
    return OwnedDescriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

bool Same(const struct stat& status, std::uint64_t device, std::uint64_t inode)
{
    return static_cast<std::uint64_t>(status.st_dev) == device &&
           static_cast<std::uint64_t>(status.st_ino) == inode;
}
} // namespace

void OwnedDescriptor::Reset(int other)
{
    if (fd != -1)
        ::close(fd);
    fd = other;
}

Outcome Channel::Send(const Message& message, int passed, std::chrono::milliseconds timeout)
{
    const std::string body = Encode(message);
    if (body.size() > maxBody)
        return Outcome::Invalid;
    return WriteAll(socket.Get(), LengthPrefix(body.size()) + body, passed, Clock::now() + timeout);
}

Outcome Channel::SendRaw(const std::string& bytes, std::chrono::milliseconds timeout)
{
    return WriteAll(socket.Get(), bytes, -1, Clock::now() + timeout);
}

Outcome Channel::Receive(Message& message, OwnedDescriptor* passed,
                         std::chrono::milliseconds timeout, std::chrono::milliseconds frameTimeout)
{
    if (passed)
        passed->Reset();
    unsigned char prefix[4];
    const Clock::time_point deadline = Clock::now() + timeout;
    // The first byte may take the whole time-out; the rest of the frame is bounded on its own.
    if (const Outcome first = ReadExactly(socket.Get(), prefix, 1, passed, deadline, true);
        first != Outcome::Ok)
        return first;
    const Clock::time_point frameDeadline = std::min(deadline, Clock::now() + frameTimeout);
    if (const Outcome rest = ReadExactly(socket.Get(), prefix + 1, 3, passed, frameDeadline, false);
        rest != Outcome::Ok)
        return rest;
    const std::optional<std::size_t> size = BodyLength(prefix);
    if (!size)
        return Outcome::Invalid;
    std::string body(*size, '\0');
    if (const Outcome read =
            ReadExactly(socket.Get(), body.data(), body.size(), passed, frameDeadline, false);
        read != Outcome::Ok)
        return read;
    std::optional<Message> decoded = Decode(body);
    if (!decoded)
        return Outcome::Invalid;
    message = std::move(*decoded);
    return Outcome::Ok;
}

OwnedDescriptor Connect(const std::string& path)
{
    sockaddr_un address;
    OwnedDescriptor fd = NewSocket(path, address);
    if (fd.Get() < 0 ||
        ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return {};
    return fd;
}

bool SocketPlaceIsTrusted(const std::string& path)
{
    if (path.empty() || path.front() != '/')
        return false;
    const uid_t self = ::geteuid();
    const auto owned = [self](const struct stat& status)
    { return status.st_uid == 0 || status.st_uid == self; };
    const auto othersMayAdd = [](const struct stat& status)
    { return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0; };
    OwnedDescriptor folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat status;
    if (folder.Get() < 0 || ::fstat(folder.Get(), &status) != 0 || !owned(status) ||
        othersMayAdd(status))
        return false;
    bool parentShared = false; // others may add names to the folder that holds the next entry
    std::size_t start = 1;
    for (;;)
    {
        const std::size_t end = path.find('/', start);
        const std::string name = path.substr(start, end - start);
        if (name == "." || name == "..")
            return false;
        if (end == std::string::npos)
        {
            // The socket itself: never a link; in a folder others may add to, it must be
            // one that root or this user made.
            return !name.empty() &&
                   ::fstatat(folder.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                   S_ISSOCK(status.st_mode) && (!parentShared || owned(status));
        }
        if (!name.empty())
        {
            OwnedDescriptor next(::openat(folder.Get(), name.c_str(),
                                          O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next.Get() < 0 || ::fstat(next.Get(), &status) != 0 || !owned(status))
                return false;
            // A folder others may add to is acceptable only when it keeps their names apart
            // (the sticky bit, as /tmp has).
            parentShared = othersMayAdd(status);
            if (parentShared && !(status.st_mode & S_ISVTX))
                return false;
            folder = std::move(next);
        }
        start = end + 1;
    }
}

OwnedDescriptor ConnectAndGreet(const std::string& path, std::chrono::milliseconds timeout)
{
    // The service's answers decide what is clean: only a socket that nobody but root or this
    // user could have put in place is asked.
    if (!SocketPlaceIsTrusted(path))
        return {};
    OwnedDescriptor fd = Connect(path);
    if (fd.Get() < 0)
        return {};
    Channel channel(std::move(fd));
    Message reply;
    if (channel.Send(Hello{}, -1, timeout) != Outcome::Ok ||
        channel.Receive(reply, nullptr, timeout) != Outcome::Ok ||
        !std::holds_alternative<HelloReply>(reply) ||
        std::get<HelloReply>(reply).version != version)
        return {};
    OwnedDescriptor greeted(::dup(channel.Descriptor()));
    return greeted.Get() < 0 ? OwnedDescriptor() : std::move(greeted);
}

Listener Listen(const std::string& path, unsigned int mode)
{
    Listener listener;
    const std::size_t slash = path.rfind('/');
    const std::string folderPath = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : path.substr(0, slash);
    listener.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (listener.name.empty() || listener.name == "." || listener.name == "..")
        return {};
    // Everything below happens in this folder, whatever its path leads to meanwhile.
    listener.folder.Reset(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (listener.folder.Get() < 0)
        return {};
    // Bound through the held folder where the system shows this process's descriptors.
    const std::string held =
        "/proc/self/fd/" + std::to_string(listener.folder.Get()) + "/" + listener.name;
    sockaddr_un address;
    const bool throughFolder =
        held.size() < sizeof address.sun_path && ::access("/proc/self/fd", X_OK) == 0;
    listener.socket = NewSocket(throughFolder ? held : path, address);
    if (listener.socket.Get() < 0)
        return {};

    // A socket left by a service that ended is replaced, one that a service still answers on is
    // not; anything else under the name stays and listening fails.
    struct stat existing;
    if (::fstatat(listener.folder.Get(), listener.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) ==
            0 &&
        S_ISSOCK(existing.st_mode))
    {
        sockaddr_un probeAddress;
        const OwnedDescriptor probe = NewSocket(address.sun_path, probeAddress);
        if (probe.Get() < 0 ||
            ::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&probeAddress),
                      sizeof probeAddress) == 0 ||
            errno != ECONNREFUSED)
            return {};
        struct stat again;
        if (::fstatat(listener.folder.Get(), listener.name.c_str(), &again, AT_SYMLINK_NOFOLLOW) ==
                0 &&
            S_ISSOCK(again.st_mode) &&
            Same(again, static_cast<std::uint64_t>(existing.st_dev),
                 static_cast<std::uint64_t>(existing.st_ino)))
            ::unlinkat(listener.folder.Get(), listener.name.c_str(), 0);
    }
    // The socket is created with its final mode, so that no one else can reach it before it is
    // opened up and no later call changes the mode of whatever the name then leads to.
    const mode_t saved = ::umask(static_cast<mode_t>(~mode & 0777));
    const int bound =
        ::bind(listener.socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::umask(saved);
    struct stat created;
    if (bound != 0 ||
        ::fstatat(listener.folder.Get(), listener.name.c_str(), &created, AT_SYMLINK_NOFOLLOW) !=
            0 ||
        !S_ISSOCK(created.st_mode))
        return {};
    listener.device = static_cast<std::uint64_t>(created.st_dev);
    listener.inode = static_cast<std::uint64_t>(created.st_ino);
    if (::listen(listener.socket.Get(), 64) != 0)
    {
        listener.RemoveEntry();
        return {};
    }
    return listener;
}

void Listener::RemoveEntry()
{
    struct stat status;
    if (folder.Get() >= 0 &&
        ::fstatat(folder.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISSOCK(status.st_mode) && Same(status, device, inode))
        ::unlinkat(folder.Get(), name.c_str(), 0);
    folder.Reset();
}

void Disconnect(int socket)
{
    ::shutdown(socket, SHUT_RDWR);
}

bool PeerIsTrusted(int socket, std::uint32_t group)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials)
        return false;
    return credentials.uid == 0 || credentials.uid == ::geteuid() || credentials.gid == group;
}
} // namespace ScanProtocol
