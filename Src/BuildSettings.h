#pragma once

// Values fixed when the program is built (see the CMake cache variables of the same names).
namespace CorvaneCommandLineScanner::BuildSettings
{
const char* ComponentsServiceUrl();
const char* ServiceNamespace();
// Seconds each of connect, send and receive may take in one exchange with the service.
int ComponentsServiceTimeout();
// Seconds between two attempts to reach the service.
int ComponentsServiceRetryPause();
const char* DefinitionsServerUrl();
const char* FormerDomain();
const char* CurrentDomain();
} // namespace CorvaneCommandLineScanner::BuildSettings
