#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace CorvaneTest
{
// A certificate and its private key, as PEM files.
struct Credentials
{
    std::filesystem::path certificate;
    std::filesystem::path key;
};

// What a certificate to issue says about its subject.
struct CertificateRequest
{
    // Subject attributes in order: short name ("CN", "O", "OU", "emailAddress", "C") and UTF-8
    // value, which may hold NUL characters.
    std::vector<std::pair<std::string, std::string>> subject;
    // The extended key usage extension ("codeSigning", "serverAuth", ...); empty for none.
    std::string extendedKeyUsage = "codeSigning";
    // Subject alternative names in configuration form ("email:someone@example.org"); empty for
    // none.
    std::string alternativeNames;
    bool certificateAuthority = false;
    // Validity relative to now. The files are made once per build and kept, so certificates meant
    // to be valid stay valid for years.
    long validFromDays = -1;
    long validUntilDays = 3650;
};

// A time stamp: the time-stamping authority and the time it vouches for.
struct TimeStamp
{
    Credentials authority;
    std::time_t time;
};

// A small public-key infrastructure in a folder: a root certificate, the certificates it issues,
// and signed copies of PE files. Files get numbered names in the folder.
class CodeSigningLab
{
public:
    // osslsigncode is the signing tool; the folder must exist.
    CodeSigningLab(std::filesystem::path folder, std::filesystem::path osslsigncode);

    const Credentials& Root() const { return root; }

    // A self-signed certificate authority, valid from 30 days ago.
    Credentials CreateRoot(const std::string& commonName);

    // A certificate issued by the given authority (by default the lab's root).
    Credentials Issue(const CertificateRequest& request);
    Credentials Issue(const CertificateRequest& request, const Credentials& issuer);

    // A time-stamping authority (critical extended key usage timeStamping) issued by the given
    // authority, valid from 30 days ago.
    Credentials IssueTimeStampingAuthority(const Credentials& issuer);

    // A signed copy of a PE file with the given digest ("sha256" or "sha1"); intermediates go
    // into the signature beside the signer's certificate. With a time stamp, the signature is
    // made at its time and carries an RFC 3161 time-stamp token of its authority for that time
    // (osslsigncode's own authority, so no server is needed and the caller chooses the time).
    std::filesystem::path Sign(const std::filesystem::path& input, const Credentials& signer,
                               const std::string& digest = "sha256",
                               const std::vector<Credentials>& intermediates = {},
                               const std::optional<TimeStamp>& stamp = std::nullopt);
    // A copy of a signed file whose signer carries the older Authenticode time stamp, a PKCS #9
    // counter-signature of the authority for the stamp's time; the authority's certificate
    // joins the signature's certificates.
    std::filesystem::path CounterSign(const std::filesystem::path& signedFile,
                                      const TimeStamp& stamp);
    // A copy of the signed file "to" with the time stamps (unsigned attributes of the signer)
    // and the certificates of the signed file "from": a stamp for another signature.
    std::filesystem::path MoveTimeStamps(const std::filesystem::path& from,
                                         const std::filesystem::path& to);

private:
    std::filesystem::path NextPath(const std::string& extension);

    std::filesystem::path folder;
    std::filesystem::path osslsigncode;
    int files = 0;
    Credentials root;
};

// The DER encoding of a PEM certificate file.
std::string CertificateDer(const std::filesystem::path& certificate);

std::string ReadFile(const std::filesystem::path& path);
void WriteBinaryFile(const std::filesystem::path& path, const std::string& content);
} // namespace CorvaneTest
