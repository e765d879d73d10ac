#include "TestBuildSettings.h"
#include "BuildSettings.h"
#include "ComponentsServer.h"

// The build settings of the client under test: a loopback endpoint that each test points at
// its own server, and a short time-out.
namespace CorvaneTest
{
std::string componentsServiceUrl = "http://127.0.0.1:9/components.asmx";
}

namespace CorvaneCommandLineScanner::BuildSettings
{
const char* ComponentsServiceUrl()
{
    return CorvaneTest::componentsServiceUrl.c_str();
}
const char* ServiceNamespace()
{
    return CorvaneTest::TestServiceNamespace;
}
int ComponentsServiceTimeout()
{
    return 1;
}
const char* DefinitionsServerUrl()
{
    return "http://127.0.0.1:9/av64bit";
}
const char* FormerDomain()
{
    return "tellmark.example";
}
const char* CurrentDomain()
{
    return "corvane.example";
}
} // namespace CorvaneCommandLineScanner::BuildSettings
