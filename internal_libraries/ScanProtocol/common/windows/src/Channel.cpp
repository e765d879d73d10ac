#include "ScanProtocol/Channel.h"
#include "ScanProtocol/Peers.h"

#include "FileSystemHelper/PrivateAccess.h"
#include "FileSystemHelper/Text.h"

#include <algorithm>
#include <sddl.h>
#include <vector>
#include <windows.h>
#include <winternl.h>

namespace ScanProtocol
{
namespace
{
using Clock = std::chrono::steady_clock;

// The access a passed file's duplicate has, exactly: reading only. The receiver's own files are
// opened with other access (the C run-time and the system's file calls ask for generic rights,
// which add at least READ_CONTROL), so a value that names one of them is told apart by it.
constexpr ACCESS_MASK passedAccess = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// A passed folder's duplicate: its attributes only, so that the receiver can tell which folder it
// is; it cannot list or read it.
constexpr ACCESS_MASK passedFolderAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// A passed definitions set's folder: the receiver lists it and opens its files relative to it,
// with its own rights; it cannot change the folder.
constexpr ACCESS_MASK passedSetAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// The exact access of what a frame passes.
ACCESS_MASK PassedAccess(Passes passes)
{
    switch (passes)
    {
    case Passes::Folder:
        return passedFolderAccess;
    case Passes::SetFolder:
        return passedSetAccess;
    default:
        return passedAccess;
    }
}
constexpr DWORD pipeBuffer = 64 * 1024;

HANDLE HandleOf(std::intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

std::intptr_t ValueOf(HANDLE handle)
{
    return handle == nullptr || handle == INVALID_HANDLE_VALUE
               ? -1
               : reinterpret_cast<std::intptr_t>(handle);
}

DWORD MillisecondsUntil(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left.count(), 3600000));
}

Outcome Classify(DWORD error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA
               ? Outcome::Closed
               : Outcome::Failed;
}

// Runs one overlapped read or write and waits for it until the deadline; a transfer that does not
// end in time is cancelled, and waited for, so that nothing writes into the buffer afterwards.
Outcome Transfer(HANDLE pipe, HANDLE event, bool write, void* data, DWORD size, DWORD& done,
                 Clock::time_point deadline)
{
    done = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ::ResetEvent(event);
    const BOOL started = write ? ::WriteFile(pipe, data, size, nullptr, &overlapped)
                               : ::ReadFile(pipe, data, size, nullptr, &overlapped);
    if (!started && ::GetLastError() != ERROR_IO_PENDING)
        return Classify(::GetLastError());
    if (::WaitForSingleObject(event, MillisecondsUntil(deadline)) != WAIT_OBJECT_0)
    {
        ::CancelIoEx(pipe, &overlapped);
        if (!::GetOverlappedResult(pipe, &overlapped, &done, TRUE) || done == 0)
            return Outcome::TimedOut;
        return Outcome::Ok;
    }
    // The event is set, so the transfer has ended; its outcome may reach the OVERLAPPED a moment
    // later (Wine writes it after setting the event), so it is waited for rather than taken as
    // still pending.
    if (!::GetOverlappedResult(pipe, &overlapped, &done, TRUE))
        return Classify(::GetLastError());
    return Outcome::Ok;
}

// The SID of a token's user in its string form; empty when it cannot be told.
std::string TokenUserSid(HANDLE token)
{
    std::vector<unsigned char> buffer(256);
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()),
                               &size))
    {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return {};
        buffer.resize(size);
        if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
            return {};
    }
    char* text = nullptr;
    if (!::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
        return {};
    std::string sid = text;
    ::LocalFree(text);
    return sid;
}

std::string ProcessUserSid(HANDLE process)
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token))
        return {};
    std::string sid = TokenUserSid(token);
    ::CloseHandle(token);
    return sid;
}

// Whether a handle value received from a peer may be taken as the file or folder passed with a
// frame: it names a disk file (a folder where one is passed; never a pipe, a device or a console)
// with exactly the access of a passed duplicate, and none of this process's standard handles,
// which it holds for itself.
bool AcceptablePassedHandle(std::uint64_t value, Passes passes)
{
    const bool folder = passes != Passes::File;
    // Handle values are multiples of four; the pseudo-handles of the process and thread are not.
    if (value == 0 || value % 4 != 0 || value > static_cast<std::uint64_t>(INTPTR_MAX))
        return false;
    const HANDLE handle = HandleOf(static_cast<std::intptr_t>(value));
    for (const DWORD standard : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        if (::GetStdHandle(standard) == handle)
            return false;
    PUBLIC_OBJECT_BASIC_INFORMATION basic{};
    if (!NT_SUCCESS(
            ::NtQueryObject(handle, ObjectBasicInformation, &basic, sizeof basic, nullptr)) ||
        basic.GrantedAccess != PassedAccess(passes))
        return false;
    BY_HANDLE_FILE_INFORMATION information{};
    return ::GetFileType(handle) == FILE_TYPE_DISK &&
           ::GetFileInformationByHandle(handle, &information) &&
           !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == !folder;
}
} // namespace

void OwnedDescriptor::Reset(std::intptr_t other)
{
    if (handle != -1)
        ::CloseHandle(HandleOf(handle));
    handle = other;
}

Channel::Channel(OwnedDescriptor pipe)
    : pipe(std::move(pipe)), event(ValueOf(::CreateEventW(nullptr, TRUE, FALSE, nullptr)))
{
}

Channel::~Channel() = default;

Outcome Channel::Write(const std::string& bytes, Clock::time_point deadline)
{
    if (event.Get() == -1)
        return Outcome::Failed;
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        DWORD done = 0;
        std::string part = bytes.substr(sent, pipeBuffer);
        if (const Outcome outcome =
                Transfer(HandleOf(pipe.Get()), HandleOf(event.Get()), true, part.data(),
                         static_cast<DWORD>(part.size()), done, deadline);
            outcome != Outcome::Ok)
            return outcome;
        if (done == 0)
            return Outcome::Failed;
        sent += done;
    }
    return Outcome::Ok;
}

Outcome Channel::Read(void* into, std::size_t size, Clock::time_point deadline, bool first)
{
    if (event.Get() == -1)
        return Outcome::Failed;
    std::size_t got = 0;
    while (got < size)
    {
        DWORD done = 0;
        const Outcome outcome = Transfer(
            HandleOf(pipe.Get()), HandleOf(event.Get()), false, static_cast<char*>(into) + got,
            static_cast<DWORD>(std::min<std::size_t>(size - got, pipeBuffer)), done, deadline);
        if (outcome == Outcome::Closed)
            return first && got == 0 ? Outcome::Closed : Outcome::Failed;
        if (outcome != Outcome::Ok)
            return outcome;
        if (done == 0)
            return Outcome::Failed;
        got += done;
    }
    return Outcome::Ok;
}

Outcome Channel::Send(const Message& message, std::intptr_t passed,
                      std::chrono::milliseconds timeout)
{
    const std::string body = Encode(message);
    if (body.size() > maxBody)
        return Outcome::Invalid;
    const Clock::time_point deadline = Clock::now() + timeout;
    HANDLE duplicate = nullptr;
    if (passed != -1)
    {
        if (receiver.Get() == -1)
        {
            ULONG server = 0;
            if (!::GetNamedPipeServerProcessId(HandleOf(pipe.Get()), &server))
                return Outcome::Failed;
            receiver.Reset(ValueOf(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, server)));
            if (receiver.Get() == -1)
                return Outcome::Failed;
        }
        // Read access only: the receiver may read the file, never change it; of a folder only
        // which one it is, or of a set's folder what it holds.
        const ACCESS_MASK access =
            PassedAccess(std::holds_alternative<FolderRequest>(message) ? Passes::Folder
                         : std::holds_alternative<LoadRequest>(message) ? Passes::SetFolder
                                                                        : Passes::File);
        if (!::DuplicateHandle(::GetCurrentProcess(), HandleOf(passed), HandleOf(receiver.Get()),
                               &duplicate, access, FALSE, 0))
            return Outcome::Failed;
    }
    const Outcome sent = Write(
        PipeHeaderOf(duplicate
                         ? static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(duplicate))
                         : noHandle,
                     body.size()) +
            body,
        deadline);
    // A frame that did not go out leaves no handle behind in the peer.
    if (sent != Outcome::Ok && duplicate)
        ::DuplicateHandle(HandleOf(receiver.Get()), duplicate, nullptr, nullptr, 0, FALSE,
                          DUPLICATE_CLOSE_SOURCE);
    return sent;
}

Outcome Channel::SendRaw(const std::string& bytes, std::chrono::milliseconds timeout)
{
    return Write(bytes, Clock::now() + timeout);
}

Outcome Channel::Receive(Message& message, OwnedDescriptor* passed,
                         std::chrono::milliseconds timeout, std::chrono::milliseconds frameTimeout)
{
    if (passed)
        passed->Reset();
    unsigned char header[handleFieldSize + 4];
    const Clock::time_point deadline = Clock::now() + timeout;
    // The first byte may take the whole time-out; the rest of the frame is bounded on its own.
    if (const Outcome first = Read(header, 1, deadline, true); first != Outcome::Ok)
        return first;
    const Clock::time_point frameDeadline = std::min(deadline, Clock::now() + frameTimeout);
    if (const Outcome rest = Read(header + 1, sizeof header - 1, frameDeadline, false);
        rest != Outcome::Ok)
        return rest;
    const std::optional<PipeHeader> parsed = ParsePipeHeader(header);
    if (!parsed)
        return Outcome::Invalid;
    std::string body(parsed->length, '\0');
    if (const Outcome read = Read(body.data(), body.size(), frameDeadline, false);
        read != Outcome::Ok)
        return read;
    Passes passes = Passes::Nothing;
    std::optional<Message> decoded = DecodePipeFrame(*parsed, body, passes);
    if (!decoded)
        return Outcome::Invalid;
    if (passes != Passes::Nothing)
    {
        if (!passed || !AcceptablePassedHandle(parsed->handle, passes))
            return Outcome::Invalid;
        passed->Reset(static_cast<std::intptr_t>(parsed->handle));
    }
    message = std::move(*decoded);
    return Outcome::Ok;
}

OwnedDescriptor Connect(const std::string& name, std::chrono::milliseconds timeout)
{
    if (!IsLocalPipeName(name))
        return {};
    const std::wstring wide = FileSystemHelper::ToWide(name, FileSystemHelper::CodePageUtf8);
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;)
    {
        // The server may identify the client but never act as it.
        const HANDLE pipe = ::CreateFileW(
            wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
        {
            OwnedDescriptor connected(ValueOf(pipe));
            // Only a pipe is talked to: the name may be taken by something else.
            if (::GetFileType(pipe) != FILE_TYPE_PIPE)
                return {};
            return connected;
        }
        const DWORD error = ::GetLastError();
        const DWORD left = MillisecondsUntil(deadline);
        // Every instance is busy: wait for one, within the time-out.
        if (error != ERROR_PIPE_BUSY)
            return {};
        if (left == 0 || !::WaitNamedPipeW(wide.c_str(), std::max<DWORD>(left, 1)))
            return {};
    }
}

bool ServerIsTrusted(std::intptr_t pipe)
{
    ULONG server = 0;
    if (!::GetNamedPipeServerProcessId(HandleOf(pipe), &server))
        return false;
    const OwnedDescriptor process(
        ValueOf(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server)));
    if (process.Get() == -1)
        return false;
    return ServerAccountIsTrusted(ProcessUserSid(HandleOf(process.Get())),
                                  ProcessUserSid(::GetCurrentProcess()));
}

OwnedDescriptor ConnectAndGreet(const std::string& name, std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    OwnedDescriptor pipe = Connect(name, timeout);
    // The service's answers decide what is clean: only a service of a trusted account is asked.
    if (pipe.Get() == -1 || !ServerIsTrusted(pipe.Get()))
        return {};
    const std::intptr_t value = pipe.Get();
    Channel channel(std::move(pipe));
    Message reply;
    const auto left =
        std::max(std::chrono::milliseconds(1),
                 std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    if (channel.Send(Hello{}, -1, left) != Outcome::Ok ||
        channel.Receive(reply, nullptr, left) != Outcome::Ok ||
        !std::holds_alternative<HelloReply>(reply) ||
        std::get<HelloReply>(reply).version != version)
        return {};
    HANDLE greeted = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), HandleOf(value), ::GetCurrentProcess(), &greeted,
                           0, FALSE, DUPLICATE_SAME_ACCESS))
        return {};
    return OwnedDescriptor(ValueOf(greeted));
}

namespace
{
OwnedDescriptor CreateInstance(const std::string& name, bool first)
{
    SECURITY_ATTRIBUTES security{sizeof security, FileSystemHelper::PrivateSecurity(false), FALSE};
    if (!security.lpSecurityDescriptor)
        return {};
    // Clients on other machines are refused by the system.
    const HANDLE pipe = ::CreateNamedPipeW(
        FileSystemHelper::ToWide(name, FileSystemHelper::CodePageUtf8).c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, pipeBuffer, pipeBuffer, 0, &security);
    ::LocalFree(security.lpSecurityDescriptor);
    return OwnedDescriptor(ValueOf(pipe));
}
} // namespace

// One instance with its pending wait for a client. The OVERLAPPED stays where it is while the
// system may write to it, so the struct is never moved.
struct PipeListener::Waiting
{
    OwnedDescriptor pipe;
    OwnedDescriptor event; // signalled when a client connected
    OVERLAPPED overlapped{};
    bool connectedAtOnce = false; // a client came before the wait began: OVERLAPPED is unused

    // Ends the pending wait and closes the instance; a client connected to it sees it close.
    void Drop()
    {
        if (pipe.Get() == -1)
            return;
        DWORD ignored = 0;
        if (::CancelIoEx(HandleOf(pipe.Get()), &overlapped) || ::GetLastError() != ERROR_NOT_FOUND)
            ::GetOverlappedResult(HandleOf(pipe.Get()), &overlapped, &ignored, TRUE);
        pipe.Reset();
    }
};

PipeListener::PipeListener() = default;

PipeListener::~PipeListener()
{
    for (auto& slot : waiting)
        if (slot)
            slot->Drop();
}

bool PipeListener::Arm(Waiting& slot, bool first)
{
    slot.Drop();
    if (slot.event.Get() == -1)
        slot.event.Reset(ValueOf(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
    if (slot.event.Get() == -1)
        return false;
    slot.pipe = CreateInstance(name, first);
    if (slot.pipe.Get() == -1)
        return false;
    for (;;)
    {
        slot.overlapped = OVERLAPPED{};
        slot.overlapped.hEvent = HandleOf(slot.event.Get());
        slot.connectedAtOnce = false;
        ::ResetEvent(HandleOf(slot.event.Get()));
        if (::ConnectNamedPipe(HandleOf(slot.pipe.Get()), &slot.overlapped))
            break;
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING)
            return true;
        if (error == ERROR_PIPE_CONNECTED) // a client came before the wait began
            break;
        if (error != ERROR_NO_DATA)
        {
            slot.pipe.Reset();
            return false;
        }
        // A client connected and left again: the instance is free once reset.
        ::DisconnectNamedPipe(HandleOf(slot.pipe.Get()));
    }
    // Connected at once: the wait is over, and the event says so. The OVERLAPPED never saw an
    // operation, so its outcome is not asked for (Windows would call it incomplete).
    slot.connectedAtOnce = true;
    ::SetEvent(HandleOf(slot.event.Get()));
    return true;
}

bool PipeListener::Open(const std::string& pipeName)
{
    if (!IsLocalPipeName(pipeName))
        return false;
    name = pipeName;
    bool first = true;
    for (auto& slot : waiting)
    {
        slot = std::make_unique<Waiting>();
        if (!Arm(*slot, first))
        {
            const DWORD error = ::GetLastError();
            for (auto& other : waiting)
                other.reset();
            ::SetLastError(error);
            return false;
        }
        first = false;
    }
    return true;
}

Outcome PipeListener::Accept(OwnedDescriptor& client, std::intptr_t stop,
                             std::chrono::milliseconds timeout)
{
    client.Reset();
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;)
    {
        // An instance the system refused a moment ago is created again.
        HANDLE waits[3] = {HandleOf(stop)};
        Waiting* slots[3] = {nullptr};
        DWORD count = 1;
        for (auto& slot : waiting)
            if (slot && (slot->pipe.Get() != -1 || Arm(*slot, false)))
            {
                slots[count] = slot.get();
                waits[count++] = HandleOf(slot->event.Get());
            }
        // Without any instance (out of memory for a moment) the wait is short, then it is tried
        // again.
        const DWORD wait = count == 1 ? std::min<DWORD>(MillisecondsUntil(deadline), 50)
                                      : MillisecondsUntil(deadline);
        const DWORD woke = ::WaitForMultipleObjects(count, waits, FALSE, wait);
        if (woke == WAIT_OBJECT_0)
            return Outcome::Closed;
        if (woke == WAIT_TIMEOUT)
        {
            if (Clock::now() >= deadline)
                return Outcome::TimedOut;
            continue;
        }
        if (woke >= WAIT_OBJECT_0 + count)
            return Outcome::Failed;
        Waiting& slot = *slots[woke - WAIT_OBJECT_0];
        // The event is set; the wait's outcome may reach the OVERLAPPED a moment later (Wine
        // writes it after setting the event), so it is waited for.
        DWORD ignored = 0;
        const bool connected =
            slot.connectedAtOnce ||
            ::GetOverlappedResult(HandleOf(slot.pipe.Get()), &slot.overlapped, &ignored, TRUE) ||
            ::GetLastError() == ERROR_PIPE_CONNECTED;
        OwnedDescriptor taken(slot.pipe.Release());
        // The next instance waits before this one is handed out, so that the name always has one.
        Arm(slot, false);
        if (connected)
        {
            client = std::move(taken);
            return Outcome::Ok;
        }
        // The client left before it was taken: its instance goes.
        ::DisconnectNamedPipe(HandleOf(taken.Get()));
    }
}

void Disconnect(std::intptr_t instance)
{
    ::DisconnectNamedPipe(HandleOf(instance));
    ::CancelIoEx(HandleOf(instance), nullptr);
}

bool PeerIsTrusted(std::intptr_t instance)
{
    // The client lets the service identify it (and no more): its token says who it is.
    if (!::ImpersonateNamedPipeClient(HandleOf(instance)))
        return false;
    HANDLE token = nullptr;
    const bool opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != 0;
    ::RevertToSelf();
    if (!opened)
        return false;
    const std::string user = TokenUserSid(token);
    BOOL administrator = FALSE;
    PSID administrators = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                   0, 0, 0, 0, 0, &administrators))
    {
        if (!::CheckTokenMembership(token, administrators, &administrator))
            administrator = FALSE;
        ::FreeSid(administrators);
    }
    ::CloseHandle(token);
    return !user.empty() &&
           (user == "S-1-5-18" || user == ProcessUserSid(::GetCurrentProcess()) || administrator);
}
} // namespace ScanProtocol
