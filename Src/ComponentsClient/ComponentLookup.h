#pragma once

#include "ComponentsClient/MachineIdentity.h"

#include <boost/log/sources/global_logger_storage.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <string>

namespace ComponentsClient
{
// What the components service says about one component; all empty until a reply fills them.
struct ServerComponent
{
    std::wstring Id;
    std::wstring Notes;
    std::wstring Version;
    std::wstring DownloadUrl;

    void Reset() { *this = ServerComponent(); }
};

// Severities of the client's diagnostics.
enum Severity : int
{
    SeverityDebug = 1,
    SeverityInformation = 2,
    SeverityError = 4,
};

// The client's diagnostics go to this process-wide logger as records with an int "Severity";
// the program attaches no sink to it, so they are written nowhere unless someone listens.
BOOST_LOG_GLOBAL_LOGGER(Diagnostics, boost::log::sources::wseverity_logger_mt<int>)

class ComponentLookup
{
public:
    // Asks the components service about a component on behalf of the given machine: up to
    // three attempts, three seconds apart. The reply's fields are stored into component whenever
    // the service answered with a result; true only when it named a non-empty id, version and
    // download URL. Never throws for a failed exchange: the reasons go to the diagnostics.
    static bool GetComponent(const std::wstring& componentId, const std::wstring& deployPlatform,
                             const std::wstring& osPlatform, const std::wstring& partner,
                             const std::wstring& requiredVersion,
                             const std::wstring& installedVersion,
                             const CorvaneCommandLineScanner::MachineIdentity& machine,
                             ServerComponent& component);
};
} // namespace ComponentsClient
