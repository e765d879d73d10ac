#include "Signer.h"

#include "DigitalSignatureHelper/Signature.h"

namespace ThreatScannerEngine
{
std::optional<std::wstring> VerifiedSigner(const Descriptor&, const std::string&,
                                           std::uint64_t size, const CacheDigest&,
                                           const ContentReader& read)
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
