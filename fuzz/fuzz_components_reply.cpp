// The components service's reply as the update check reads it: raw HTTP bytes handed to the
// generated client (the proxy of the program, with its namespace table and settings) through the
// SOAP runtime's transport callbacks, in pieces whose size the first input byte chooses.
// Invariants: a reply either fails or fills the result; every field the update check reads is
// usable as text and as a version.
#include "FuzzSupport.h"

#include "ComponentsClient/ServiceProxy.h"

#include "MsiHelper/FourPartVersion.h"

#include <algorithm>
#include <cstring>

namespace
{
// What the fake connection has left to give.
struct Connection
{
    const char* data = nullptr;
    std::size_t left = 0;
    std::size_t piece = 0;
};

Connection connection;

SOAP_SOCKET Open(struct soap*, const char*, const char*, int)
{
    // Any valid-looking descriptor: the callbacks below are the only ones that use it.
    return 1000;
}

int Ignore(struct soap*)
{
    return SOAP_OK;
}

int IgnoreSocket(struct soap*, SOAP_SOCKET)
{
    return SOAP_OK;
}

int IgnoreShutdown(struct soap*, SOAP_SOCKET, int)
{
    return SOAP_OK;
}

int Send(struct soap*, const char*, std::size_t)
{
    return SOAP_OK;
}

std::size_t Receive(struct soap*, char* buffer, std::size_t size)
{
    std::size_t count = std::min(size, connection.left);
    if (connection.piece)
        count = std::min(count, connection.piece);
    std::memcpy(buffer, connection.data, count);
    connection.data += count;
    connection.left -= count;
    return count;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ComponentsService;
    if (size == 0)
        return 0;
    connection = {reinterpret_cast<const char*>(data) + 1, size - 1, std::size_t{data[0]} % 17};

    ComponentsClient::ServiceProxy proxy;
    proxy.fopen = Open;
    proxy.fclose = Ignore;
    proxy.fpoll = Ignore;
    proxy.fclosesocket = IgnoreSocket;
    proxy.fshutdownsocket = IgnoreShutdown;
    proxy.fsend = Send;
    proxy.frecv = Receive;

    _tempuri__GetComponent* call = soap_new__tempuri__GetComponent(&proxy);
    _tempuri__GetComponentResponse* reply = soap_new__tempuri__GetComponentResponse(&proxy);
    CORVANE_FUZZ_CHECK(call && reply, "");
    call->request = soap_new_tempuri__GetComponentRequest(&proxy);
    CORVANE_FUZZ_CHECK(call->request, "");
    static std::wstring text = L"fuzz";
    call->request->ComponentId = &text;
    call->request->DeployPlatfrom = &text;

    const std::string action = ComponentsClient::ServiceProxy::Action("GetComponent");
    const int result = proxy.GetComponent(nullptr, action.c_str(), call, *reply);
    if (result != SOAP_OK || !reply->GetComponentResult)
        return 0;
    const tempuri__ComponentInfoResponse& component = *reply->GetComponentResult;
    for (const std::wstring* field :
         {component.Id, component.Notes, component.Version, component.DownloadUrl})
    {
        if (!field)
            continue;
        // The update check compares the version and prints the others.
        const MsiHelper::FourPartVersion version(*field);
        CORVANE_FUZZ_CHECK(MsiHelper::FourPartVersion(version.ToString()) == version,
                           CorvaneFuzz::Escaped(*field));
    }
    return 0;
}
