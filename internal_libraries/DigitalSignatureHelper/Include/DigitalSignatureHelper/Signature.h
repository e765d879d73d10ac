#pragma once

#include <boost/filesystem/path.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace DigitalSignatureHelper
{
// Questions about the Authenticode signature embedded in a file. Holds no state, so the functions
// may be called from any thread.
class Signature
{
public:
    // Which name of the signing certificate CertificateName returns.
    enum NameType
    {
        // The subject's simple display name: its common name, else the first of organizational
        // unit, organization and e-mail address, as the platform's certificate services give it.
        SubjectSimpleDisplayName,
    };

    Signature() = delete;

    // True when the file's embedded signature verifies: the signed digest matches the file, the
    // signature is intact and the signer chains to a trusted root for code signing. Any failure,
    // including a missing or unsigned file, gives false. Never throws.
    static bool Verify(const std::wstring& path);

    // The chosen name of the certificate of the file's first signer. The signature is read, not
    // verified. Throws ExceptionHelper::Exception when the file carries no readable signature
    // ("Couldn't CryptQueryObject"), the signature holds no certificates ("No cert store"), has
    // no signer ("Couldn't CryptMsgGetParam"), lacks the signer's certificate
    // ("Couldn't CertFindCertificateInStore") or the name cannot be read
    // ("Couldn't CertGetNameString").
    static std::wstring CertificateName(const boost::filesystem::path& path, NameType type);

    // Verify and CertificateName in one: the chosen name of the first signer's certificate when
    // the signature verifies, else none. The file is opened once for both, so it cannot be
    // swapped for another between the verification and the name. Throws as CertificateName does
    // when a verified signature's name cannot be read.
    static std::optional<std::wstring> VerifiedCertificateName(const std::wstring& path,
                                                               NameType type);

#ifndef _WIN32
    // Reads exactly length bytes of the content at the offset into buffer; false when it cannot.
    using ContentReader =
        std::function<bool(std::uint64_t offset, void* buffer, std::size_t length)>;

    // VerifiedCertificateName of content of the given size that the caller holds and hands in
    // through read, such as the content a virus scan judged: every byte verified comes through
    // read. (The Windows trust provider verifies only files it reads itself.)
    static std::optional<std::wstring>
    VerifiedCertificateName(std::uint64_t size, const ContentReader& read, NameType type);
#else
    // VerifiedCertificateName of the file open through the handle (a HANDLE), which the caller
    // holds so that nobody can write to the file meanwhile: the trust provider and the name read
    // only through that handle, never through a path. The path only names the file to the trust
    // provider. Throws as CertificateName does when a verified signature's name cannot be read.
    static std::optional<std::wstring> VerifiedCertificateName(void* file, const std::wstring& path,
                                                               NameType type);
#endif
};
} // namespace DigitalSignatureHelper
