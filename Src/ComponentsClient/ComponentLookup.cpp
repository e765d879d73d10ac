#include "ComponentsClient/ComponentLookup.h"
#include "ComponentsClient/ServiceProxy.h"

#include "BuildSettings.h"

#include <boost/chrono/system_clocks.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/unlocked_frontend.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>
#include <locale>
#include <sstream>

namespace ComponentsClient
{
namespace
{
// Takes records and keeps none.
class DiscardingBackend
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::concurrent_feeding>
{
public:
    void consume(const boost::log::record_view&) {}
};
} // namespace

// While no sink is attached the logging core prints every record to the standard error
// stream; the diagnostics are meant for whoever attaches a sink, so a sink that drops them
// comes with the logger.
BOOST_LOG_GLOBAL_LOGGER_INIT(Diagnostics, boost::log::sources::wseverity_logger_mt<int>)
{
    boost::log::core::get()->add_sink(
        boost::make_shared<boost::log::sinks::unlocked_sink<DiscardingBackend>>());
    return boost::log::sources::wseverity_logger_mt<int>();
}

namespace
{
const int attemptCount = 3;

void Emit(int severity, int line, const std::wstring& text)
{
    std::wostringstream message;
    message.imbue(std::locale::classic());
    message << L"[UpdateService][UpdateService::Wrapper::GetComponent][" << line << L"]: " << text;
    BOOST_LOG_SEV(Diagnostics::get(), severity) << message.str();
}

// A diagnostic never changes the outcome: a failure while building or logging it is dropped.
#define UPDATE_SERVICE_DIAGNOSTIC(severity, pieces)                                                \
    do                                                                                             \
    {                                                                                              \
        try                                                                                        \
        {                                                                                          \
            std::wostringstream text_;                                                             \
            text_.imbue(std::locale::classic());                                                   \
            text_ << pieces;                                                                       \
            Emit(severity, __LINE__, text_.str());                                                 \
        }                                                                                          \
        catch (...)                                                                                \
        {                                                                                          \
        }                                                                                          \
    } while (false)

// Copies an optional reply field; absent stays empty.
bool Take(const std::wstring* field, std::wstring& value)
{
    if (!field)
        return false;
    value = *field;
    return true;
}
} // namespace

bool ComponentLookup::GetComponent(const std::wstring& componentId,
                                   const std::wstring& deployPlatform,
                                   const std::wstring& osPlatform, const std::wstring& partner,
                                   const std::wstring& requiredVersion,
                                   const std::wstring& installedVersion,
                                   const CorvaneCommandLineScanner::MachineIdentity& machine,
                                   ServerComponent& component)
{
    using namespace ComponentsService;
    UPDATE_SERVICE_DIAGNOSTIC(SeverityInformation,
                              L"getting server component. component id="
                                  << componentId << L". delpoy platform=" << deployPlatform
                                  << L". os platform=" << osPlatform << L". partner=" << partner
                                  << L". required version=" << requiredVersion
                                  << L". installed application version=" << installedVersion);

    ServiceProxy proxy;
    const auto text = [&proxy](const std::wstring& value)
    {
        std::wstring* copy = soap_new_std__wstring(&proxy);
        if (copy)
            *copy = value;
        return copy;
    };
    _tempuri__GetComponent* call = soap_new__tempuri__GetComponent(&proxy);
    _tempuri__GetComponentResponse* reply = soap_new__tempuri__GetComponentResponse(&proxy);
    if (!call || !reply || !(call->request = soap_new_tempuri__GetComponentRequest(&proxy)))
        return false;
    tempuri__GetComponentRequest& request = *call->request;
    request.UserId = text(machine.uuid);
    request.ComponentId = text(componentId);
    request.DeployPlatfrom = text(deployPlatform);
    request.InstalledVersion = text(installedVersion);
    request.OsPlatfrom = text(osPlatform);
    request.RequiredVersion = text(requiredVersion);
    request.Partner = text(partner);
    if (!request.UserId || !request.ComponentId || !request.DeployPlatfrom ||
        !request.InstalledVersion || !request.OsPlatfrom || !request.RequiredVersion ||
        !request.Partner)
        return false;
    request.OsType = machine.osType;
    UPDATE_SERVICE_DIAGNOSTIC(SeverityInformation, L"os_type=" << request.OsType);

    const std::string action = ServiceProxy::Action("GetComponent");
    for (int attemptsLeft = attemptCount;;)
    {
        const int result = proxy.GetComponent(nullptr, action.c_str(), call, *reply);
        if (result == SOAP_OK)
            break;
        proxy.soap_close_socket();
        --attemptsLeft;
        UPDATE_SERVICE_DIAGNOSTIC(SeverityError, L"get component failed. result="
                                                     << result << L". retries count="
                                                     << attemptsLeft);
        if (attemptsLeft == 0)
            return false;
        boost::this_thread::sleep_until(
            boost::chrono::system_clock::now() +
            boost::chrono::seconds(
                CorvaneCommandLineScanner::BuildSettings::ComponentsServiceRetryPause()));
    }

    const tempuri__ComponentInfoResponse* result = reply->GetComponentResult;
    if (!result)
        return false;
    std::wstring id;
    std::wstring notes;
    std::wstring version;
    std::wstring downloadUrl;
    if (!Take(result->Id, id))
        UPDATE_SERVICE_DIAGNOSTIC(SeverityError, L"no component id");
    if (!Take(result->Notes, notes))
        UPDATE_SERVICE_DIAGNOSTIC(SeverityInformation, L"no component notes. id=" << id);
    if (!Take(result->Version, version))
        UPDATE_SERVICE_DIAGNOSTIC(SeverityError, L"no component version. id=" << id);
    if (!Take(result->DownloadUrl, downloadUrl))
        UPDATE_SERVICE_DIAGNOSTIC(SeverityError, L"no component download url. id=" << id);

    UPDATE_SERVICE_DIAGNOSTIC(SeverityInformation, L"server component is available. id="
                                                       << id << L". version=" << version
                                                       << L". download url=" << downloadUrl);
    if (!notes.empty())
        UPDATE_SERVICE_DIAGNOSTIC(SeverityDebug, L"notes=" << notes);

    component.Id = id;
    component.Notes = notes;
    component.Version = version;
    component.DownloadUrl = downloadUrl;
    return !id.empty() && !downloadUrl.empty() && !version.empty();
}
} // namespace ComponentsClient
