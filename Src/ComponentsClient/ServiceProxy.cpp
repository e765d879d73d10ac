#include "ComponentsClient/ServiceProxy.h"
#include "BuildSettings.h"
#include "NetworkHelper/Proxy.h"

namespace ComponentsClient
{
namespace
{
namespace BuildSettings = CorvaneCommandLineScanner::BuildSettings;

// A reply describes one component in a few short strings; anything longer is not a reply.
constexpr ULONG64 maxReplyBytes = 1024 * 1024;

// The client's namespace table: SOAP 1.2 envelope and encoding on the wire, the SOAP 1.1 ones
// also accepted when reading, and the service namespace under the prefix tempuri.
const Namespace* ClientNamespaces()
{
    static const Namespace table[] = {
        {"SOAP-ENV", "http://www.w3.org/2003/05/soap-envelope",
         "http://schemas.xmlsoap.org/soap/envelope/", nullptr},
        {"SOAP-ENC", "http://www.w3.org/2003/05/soap-encoding",
         "http://schemas.xmlsoap.org/soap/encoding/", nullptr},
        {"xsi", "http://www.w3.org/2001/XMLSchema-instance",
         "http://www.w3.org/*/XMLSchema-instance", nullptr},
        {"xsd", "http://www.w3.org/2001/XMLSchema", "http://www.w3.org/*/XMLSchema", nullptr},
        {"tempuri", BuildSettings::ServiceNamespace(), nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr},
    };
    return table;
}
} // namespace

ServiceProxy::ServiceProxy()
{
    soap_set_namespaces(this, ClientNamespaces());
    soap_endpoint = BuildSettings::ComponentsServiceUrl();
    connect_timeout = BuildSettings::ComponentsServiceTimeout();
    send_timeout = BuildSettings::ComponentsServiceTimeout();
    recv_timeout = BuildSettings::ComponentsServiceTimeout();
    // The time-outs above bound each step; a server that sends a byte now and then keeps every
    // step alive, so the whole exchange of one attempt gets a limit of twice the step time-out,
    // and the reply a size limit. Either ends the attempt as a failure.
    transfer_timeout = 2 * BuildSettings::ComponentsServiceTimeout();
    recv_maxlength = maxReplyBytes;
    // The proxy lookup (a script to fetch, or detection on the network) gets the connect time.
    const NetworkHelper::ProxyServer proxy =
        NetworkHelper::ProxyFor(BuildSettings::ComponentsServiceUrl(),
                                std::chrono::seconds(BuildSettings::ComponentsServiceTimeout()));
    if (!proxy.host.empty())
    {
        // The runtime resolves the proxy's host as it is, so an IPv6 address goes without
        // brackets.
        proxyHost =
            proxy.host.front() == '[' ? proxy.host.substr(1, proxy.host.size() - 2) : proxy.host;
        proxy_host = proxyHost.c_str();
        proxy_port = proxy.port;
    }
}

std::string ServiceProxy::Action(const char* operation)
{
    return std::string(BuildSettings::ServiceNamespace()) + operation;
}
} // namespace ComponentsClient
