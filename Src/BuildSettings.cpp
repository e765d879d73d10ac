#include "BuildSettings.h"

// The only translation unit that sees the build-time values; a test build of the program
// compiles it again with loopback values.
namespace CorvaneCommandLineScanner::BuildSettings
{
const char* ComponentsServiceUrl()
{
    return CORVANE_COMPONENTS_SERVICE_URL;
}
const char* ServiceNamespace()
{
    return CORVANE_SERVICE_NAMESPACE;
}
int ComponentsServiceTimeout()
{
    return CORVANE_COMPONENTS_SERVICE_TIMEOUT;
}
int ComponentsServiceRetryPause()
{
    return CORVANE_COMPONENTS_SERVICE_RETRY_PAUSE;
}
const char* DefinitionsServerUrl()
{
    return CORVANE_DEFINITIONS_SERVER_URL;
}
const char* FormerDomain()
{
    return CORVANE_FORMER_DOMAIN;
}
const char* CurrentDomain()
{
    return CORVANE_CURRENT_DOMAIN;
}
} // namespace CorvaneCommandLineScanner::BuildSettings
