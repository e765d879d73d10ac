#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ThreatScannerEngine
{
// Reads exactly length bytes of the content at the offset; false when it cannot.
using ContentReader = std::function<bool(std::uint64_t offset, void* buffer, std::size_t length)>;

// The signer (the subject's simple display name) of content whose embedded Authenticode
// signature verifies, read only through read, so that the answer is about exactly the content
// the scan judged; none when it carries no signature that verifies.
std::optional<std::wstring> VerifiedSigner(std::uint64_t size, const ContentReader& read);
} // namespace ThreatScannerEngine
