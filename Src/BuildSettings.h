#pragma once

// Values fixed when the program is built (see the CMake cache variables of the same names).
namespace CorvaneCommandLineScanner::BuildSettings
{
const char* ComponentsServiceUrl();
const char* ServiceNamespace();
const char* DefinitionsServerUrl();
const char* FormerDomain();
const char* CurrentDomain();
} // namespace CorvaneCommandLineScanner::BuildSettings
