// The platform's trust provider verifies a file it reads itself, through a name or a handle
// that others may write to meanwhile; what it judged could not be tied to the content the scan
// judged. So no signer is vouched for here, and a detection in a signed file stands.
#include "Signer.h"

namespace ThreatScannerEngine
{
std::optional<std::wstring> VerifiedSigner(std::uint64_t, const ContentReader&)
{
    return std::nullopt;
}
} // namespace ThreatScannerEngine
