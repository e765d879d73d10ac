#pragma once

#include "Sockets.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace CorvaneTest
{
// The service namespace of the test builds of the components-service client.
extern const char* const TestServiceNamespace;

// One request as the server received it.
struct RecordedRequest
{
    std::string head; // request line and headers, up to and including the empty line
    std::string body;

    std::string RequestLine() const;
    // The header fields in the order sent, as (name, value).
    std::vector<std::pair<std::string, std::string>> Headers() const;
};

// What the server does with one exchange.
struct Reply
{
    enum Kind
    {
        Answer,  // send the bytes, then close
        Drop,    // close without answering
        Stall,   // keep the connection open without answering until the client gives up
        Trickle, // send the bytes one at a time, four a second, until the client gives up
    };
    Kind kind = Answer;
    std::string bytes;

    static Reply Http(const std::string& status, const std::string& contentType,
                      const std::string& body);
    // A SOAP 1.2 (or 1.1) envelope holding the given body content, status 200.
    static Reply Envelope(const std::string& bodyContent, bool soap11 = false);
    // A GetComponentResponse whose GetComponentResult holds the elements in the order given;
    // the elements are written as they are (names without prefix, values already escaped).
    static Reply Component(const std::vector<std::pair<std::string, std::string>>& elements,
                           bool soap11 = false);
    // The usual result: Id, Notes, Version, DownloadUrl.
    static Reply Component(const std::string& version, const std::string& downloadUrl,
                           const std::string& id = "CorvaneCommandLineScanner",
                           const std::string& notes = "Release notes");
    // A GetComponentResponse without GetComponentResult.
    static Reply NoResult();
    // A SOAP 1.2 fault with HTTP status 500.
    static Reply Fault();
    static Reply HttpError(int status);
    static Reply Dropped();
    static Reply Stalled();
    static Reply Trickled(const Reply& reply);
};

// A components service on 127.0.0.1 that records every request and answers the n-th with the
// n-th reply of its script (the last reply for every later request). It runs on a thread of its
// own from construction to destruction.
class ComponentsServer
{
public:
    // Port 0 asks the system for a free port.
    explicit ComponentsServer(std::vector<Reply> script, std::uint16_t port = 0);
    ~ComponentsServer();
    ComponentsServer(const ComponentsServer&) = delete;
    ComponentsServer& operator=(const ComponentsServer&) = delete;

    std::uint16_t Port() const { return port; }
    // http://127.0.0.1:<port>/components.asmx
    std::string Url() const;
    std::vector<RecordedRequest> Requests() const;

private:
    void Serve();
    void Handle(Sockets::Handle connection);

    std::vector<Reply> script;
    Sockets::Handle listener = Sockets::Invalid;
    std::uint16_t port = 0;
    mutable std::mutex mutex;
    bool stopping = false;
    Sockets::Handle current = Sockets::Invalid;
    std::vector<RecordedRequest> requests;
    std::thread thread;
};
} // namespace CorvaneTest
