// The platform's trust provider verifies a file it reads itself, so it is given the scanned file
// opened anew through the scanned handle for reading only, with readers alone allowed beside it:
// while that handle is held nobody can write to, rename or delete the file, and an open that
// finds a writer already there fails. That it is the very file scanned (volume and file index)
// and holds the very content scanned (the digest over the same bytes) is checked before the
// trust provider reads it; whatever cannot be shown gives no signer, and the detection stands.
// The trust provider is never given a path to open: a name may lead elsewhere (a trailing dot or
// space is cut off by the path rules, a file may have been renamed over the scanned one).
#include "NativeFiles.h"

#include "ContentDigest.h"
#include "Signer.h"

#include "DigitalSignatureHelper/Signature.h"

#include <vector>

namespace ThreatScannerEngine
{
std::optional<std::wstring> VerifiedSigner(const Descriptor& scanned, const std::string& path,
                                           std::uint64_t size, const CacheDigest& content,
                                           const ContentReader&)
{
    const HANDLE reopened = ::ReOpenFile(HandleOf(scanned), GENERIC_READ, FILE_SHARE_READ, 0);
    if (reopened == INVALID_HANDLE_VALUE)
        return std::nullopt;
    const Descriptor held(NativeOf(reopened));

    BY_HANDLE_FILE_INFORMATION before{};
    BY_HANDLE_FILE_INFORMATION now{};
    if (!HandleInformation(HandleOf(scanned), before) || !HandleInformation(reopened, now))
        return std::nullopt;
    const FileIdentity scannedIdentity = IdentityFrom(before);
    const FileIdentity heldIdentity = IdentityFrom(now);
    const std::uint64_t heldSize =
        (static_cast<std::uint64_t>(now.nFileSizeHigh) << 32) | now.nFileSizeLow;
    if (scannedIdentity.device != heldIdentity.device ||
        scannedIdentity.inode != heldIdentity.inode || heldSize != size)
        return std::nullopt;

    std::vector<char> buffer;
    const std::optional<CacheDigest> heldContent = ContentDigest::OfFile(held, size, buffer);
    if (!heldContent || *heldContent != content)
        return std::nullopt;

    using DigitalSignatureHelper::Signature;
    try
    {
        return Signature::VerifiedCertificateName(reopened, WidePath(path),
                                                  Signature::SubjectSimpleDisplayName);
    }
    catch (...)
    {
        return std::nullopt;
    }
}
} // namespace ThreatScannerEngine
