#pragma once

#include "ResultCache.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ThreatScannerEngine
{
class Descriptor;

// Reads exactly length bytes of the content at the offset; false when it cannot.
using ContentReader = std::function<bool(std::uint64_t offset, void* buffer, std::size_t length)>;

// The signer (the subject's simple display name) of the content a scan judged, when its embedded
// Authenticode signature verifies; none when it carries no signature that verifies, or when what
// was verified cannot be shown to be that content. The content is the given size of the scanned
// file, with the given digest, and read gives exactly it. Where the signature can be checked on
// bytes handed in, only read is used; where the platform's trust provider reads files itself,
// it reads the scanned file opened anew so that nobody can write to it, after that file is shown
// to be the one scanned and to hold the content of that digest. The path only names the file.
std::optional<std::wstring> VerifiedSigner(const Descriptor& scanned, const std::string& path,
                                           std::uint64_t size, const CacheDigest& content,
                                           const ContentReader& read);
} // namespace ThreatScannerEngine
