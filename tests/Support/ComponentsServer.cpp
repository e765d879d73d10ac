#include "ComponentsServer.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace CorvaneTest
{
const char* const TestServiceNamespace = CORVANE_TEST_SERVICE_NAMESPACE;

namespace
{
const char* const soap12 = "http://www.w3.org/2003/05/soap-envelope";
const char* const soap11 = "http://schemas.xmlsoap.org/soap/envelope/";

void SendAll(Sockets::Handle socket, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        const long count = Sockets::Send(socket, bytes.data() + sent, bytes.size() - sent);
        if (count <= 0)
            return;
        sent += static_cast<std::size_t>(count);
    }
}

// Reads the whole request: the head up to the empty line, then Content-Length bytes.
RecordedRequest ReadRequest(Sockets::Handle socket)
{
    std::string data;
    std::size_t headEnd = std::string::npos;
    std::size_t length = 0;
    char buffer[4096];
    for (;;)
    {
        if (headEnd == std::string::npos)
        {
            headEnd = data.find("\r\n\r\n");
            if (headEnd != std::string::npos)
            {
                headEnd += 4;
                RecordedRequest head{data.substr(0, headEnd), {}};
                for (const auto& [name, value] : head.Headers())
                    if (name == "Content-Length")
                        length = std::stoul(value);
            }
        }
        if (headEnd != std::string::npos && data.size() >= headEnd + length)
            break;
        const long count = Sockets::Receive(socket, buffer, sizeof buffer);
        if (count <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(count));
    }
    if (headEnd == std::string::npos)
        return {data, {}};
    return {data.substr(0, headEnd), data.substr(headEnd)};
}
} // namespace

std::string RecordedRequest::RequestLine() const
{
    return head.substr(0, head.find("\r\n"));
}

std::vector<std::pair<std::string, std::string>> RecordedRequest::Headers() const
{
    std::vector<std::pair<std::string, std::string>> headers;
    std::size_t position = head.find("\r\n");
    while (position != std::string::npos)
    {
        position += 2;
        const std::size_t end = head.find("\r\n", position);
        if (end == std::string::npos || end == position)
            break;
        const std::string line = head.substr(position, end - position);
        const std::size_t colon = line.find(':');
        const std::size_t value = line.find_first_not_of(' ', colon + 1);
        headers.emplace_back(line.substr(0, colon),
                             value == std::string::npos ? "" : line.substr(value));
        position = end;
    }
    return headers;
}

Reply Reply::Http(const std::string& status, const std::string& contentType,
                  const std::string& body)
{
    return {Answer, "HTTP/1.1 " + status + "\r\nContent-Type: " + contentType +
                        "\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body};
}

Reply Reply::Envelope(const std::string& bodyContent, bool soap11Envelope)
{
    return Http("200 OK",
                soap11Envelope ? "text/xml; charset=utf-8" : "application/soap+xml; charset=utf-8",
                std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                            "<soap:Envelope xmlns:soap=\"") +
                    (soap11Envelope ? soap11 : soap12) +
                    "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>" +
                    bodyContent + "</soap:Body></soap:Envelope>");
}

Reply Reply::Component(const std::vector<std::pair<std::string, std::string>>& elements,
                       bool soap11Envelope)
{
    std::string result;
    for (const auto& [name, value] : elements)
        result += "<" + name + ">" + value + "</" + name + ">";
    return Envelope(std::string("<GetComponentResponse xmlns=\"") + TestServiceNamespace +
                        "\"><GetComponentResult>" + result +
                        "</GetComponentResult></GetComponentResponse>",
                    soap11Envelope);
}

Reply Reply::Component(const std::string& version, const std::string& downloadUrl,
                       const std::string& id, const std::string& notes)
{
    return Component(
        {{"Id", id}, {"Notes", notes}, {"Version", version}, {"DownloadUrl", downloadUrl}});
}

Reply Reply::NoResult()
{
    return Envelope(std::string("<GetComponentResponse xmlns=\"") + TestServiceNamespace + "\"/>");
}

Reply Reply::Fault()
{
    Reply reply = Envelope("<soap:Fault><soap:Code><soap:Value>soap:Receiver</soap:Value>"
                           "</soap:Code><soap:Reason><soap:Text xml:lang=\"en\">Server was unable "
                           "to process request.</soap:Text></soap:Reason></soap:Fault>");
    reply.bytes.replace(0, reply.bytes.find("\r\n"), "HTTP/1.1 500 Internal Server Error");
    return reply;
}

Reply Reply::HttpError(int status)
{
    return Http(std::to_string(status) + " Error", "text/html", "<html>error</html>");
}

Reply Reply::Dropped()
{
    return {Drop, {}};
}

Reply Reply::Stalled()
{
    return {Stall, {}};
}

Reply Reply::Trickled(const Reply& reply)
{
    return {Trickle, reply.bytes};
}

ComponentsServer::ComponentsServer(std::vector<Reply> replies, std::uint16_t wantedPort)
    : script(std::move(replies))
{
    listener = Sockets::Listen(wantedPort, port);
    thread = std::thread([this] { Serve(); });
}

ComponentsServer::~ComponentsServer()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        // Wakes the accept and any stalled exchange.
        Sockets::ShutDown(listener);
        if (current != Sockets::Invalid)
            Sockets::ShutDown(current);
    }
    Sockets::Wake(port);
    thread.join();
    Sockets::Close(listener);
}

std::string ComponentsServer::Url() const
{
    return "http://127.0.0.1:" + std::to_string(port) + "/components.asmx";
}

std::vector<RecordedRequest> ComponentsServer::Requests() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return requests;
}

void ComponentsServer::Serve()
{
    for (;;)
    {
        bool retry = false;
        const Sockets::Handle connection = Sockets::Accept(listener, retry);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
            {
                if (connection != Sockets::Invalid)
                    Sockets::Close(connection);
                return;
            }
            if (connection == Sockets::Invalid)
            {
                if (retry)
                    continue;
                return;
            }
            current = connection;
        }
        Handle(connection);
        const std::lock_guard<std::mutex> lock(mutex);
        current = Sockets::Invalid;
        Sockets::Close(connection);
    }
}

void ComponentsServer::Handle(Sockets::Handle connection)
{
    RecordedRequest request = ReadRequest(connection);
    Reply reply;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!script.empty())
            reply = script[std::min(requests.size(), script.size() - 1)];
        requests.push_back(std::move(request));
    }
    switch (reply.kind)
    {
    case Reply::Answer:
        SendAll(connection, reply.bytes);
        break;
    case Reply::Drop:
        break;
    case Reply::Trickle:
        // Each byte keeps the client's receive time-out from firing; a failed send means the
        // client gave up (or the server stops).
        for (const char byte : reply.bytes)
        {
            if (Sockets::Send(connection, &byte, 1) != 1)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        break;
    case Reply::Stall:
    {
        // Until the client closes its end (or the server stops).
        char buffer[256];
        for (;;)
        {
            if (Sockets::Receive(connection, buffer, sizeof buffer) <= 0)
                break;
        }
        break;
    }
    }
}
} // namespace CorvaneTest
