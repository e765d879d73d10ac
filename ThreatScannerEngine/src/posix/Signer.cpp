#include "Signer.h"

#include "DigitalSignatureHelper/Signature.h"

namespace ThreatScannerEngine
{
std::optional<std::wstring> VerifiedSigner(std::uint64_t size, const ContentReader& read)
{
    using DigitalSignatureHelper::Signature;
    try
    {
        return Signature::VerifiedCertificateName(size, read, Signature::SubjectSimpleDisplayName);
    }
    catch (...)
    {
        return std::nullopt;
    }
}
} // namespace ThreatScannerEngine
