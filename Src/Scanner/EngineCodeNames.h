#pragma once

#include <cstdint>
#include <string>

// The text of the engine's numeric codes, for messages and the scan result report. A code with
// no name gives empty text.
namespace CorvaneCommandLineScanner
{
// Quick, Full, Custom or Boot; any other value logs an error and gives empty text.
std::wstring ScanTypeName(std::int32_t scanType);

std::wstring EngineResultName(std::int32_t result);
std::wstring ActionName(std::int32_t action);
std::wstring ObjectTypeName(std::int32_t objectType);
std::wstring ScanStatusName(std::int32_t scanStatus);
std::wstring ThreatTypeName(std::int32_t threatType);

// Name of one object-flag bit; empty for a bit without a name.
std::wstring ObjectFlagName(std::uint32_t flag);

// The names of the set bits that have one, in the engine's flag order, separated by ";".
std::wstring ObjectFlagsText(std::uint32_t flags);
} // namespace CorvaneCommandLineScanner
