#pragma once

namespace CorvaneCommandLineScanner
{
// The program's own version, with commas between its four parts.
inline constexpr const char* ProductVersion = "12,7,1093,0";
inline constexpr const char* ProductName = "Corvane command line scanner";
} // namespace CorvaneCommandLineScanner
