#pragma once

#include "ComponentsServiceComponentsServiceSoapProxy.h"

#include <string>

namespace ComponentsClient
{
// A components-service proxy set up for this build: the built-in endpoint, the client's
// namespace table with the service namespace, the connect, send and receive time-outs, a limit on
// the time of the whole exchange and one on the size of the reply, so that a server that never
// answers, trickles or floods ends the attempt instead of holding the program forever or
// filling its memory. It goes through the proxy that the user's settings choose for the endpoint.
// Like every proxy it frees everything deserialized or allocated in it when it goes.
class ServiceProxy : public ComponentsService::ComponentsServiceSoapProxy
{
public:
    ServiceProxy();
    ServiceProxy(const ServiceProxy&) = delete;
    ServiceProxy& operator=(const ServiceProxy&) = delete;

    // The SOAP action of an operation: the service namespace followed by the operation name.
    static std::string Action(const char* operation);

private:
    // The proxy's host, which the runtime reads through a pointer while the proxy lives.
    std::string proxyHost;
};
} // namespace ComponentsClient
