#include "UpdateService/ComponentsClient.h"
#include "BuildSettings.h"

namespace UpdateService
{
namespace
{
namespace BuildSettings = CorvaneCommandLineScanner::BuildSettings;

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

ComponentsClient::ComponentsClient()
{
    soap_set_namespaces(this, ClientNamespaces());
    soap_endpoint = BuildSettings::ComponentsServiceUrl();
    connect_timeout = BuildSettings::ComponentsServiceTimeout();
    send_timeout = BuildSettings::ComponentsServiceTimeout();
    recv_timeout = BuildSettings::ComponentsServiceTimeout();
}

std::string ComponentsClient::Action(const char* operation)
{
    return std::string(BuildSettings::ServiceNamespace()) + operation;
}
} // namespace UpdateService
