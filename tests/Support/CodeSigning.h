#pragma once

#include "Installation.h"

#include <boost/filesystem/path.hpp>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace CorvaneTest
{
// The unsigned 64-bit console program kept with the tests.
boost::filesystem::path UnsignedProgram();

// A certificate and its private key, as PEM files.
struct Credentials
{
    boost::filesystem::path certificate;
    boost::filesystem::path key;
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
    // Validity relative to now.
    long validFromDays = -1;
    long validUntilDays = 365;
};

// A time stamp: the time-stamping authority and the time it vouches for.
struct TimeStamp
{
    Credentials authority;
    std::time_t time;
};

// A small public-key infrastructure for signature tests, in a temporary folder: a root
// certificate that this process trusts through SSL_CERT_FILE (SSL_CERT_DIR is pointed at an empty
// folder, so no system root takes part), the certificates it issues, and copies of the unsigned
// test program signed with them.
class CodeSigningLab
{
public:
    CodeSigningLab();

    const boost::filesystem::path& Folder() const { return folder.Path(); }
    const Credentials& Root() const { return root; }

    // A self-signed certificate authority, valid from 30 days ago; the process does not trust it
    // unless told to.
    Credentials CreateRoot(const std::string& commonName);
    // Makes the given root the only one the process trusts.
    static void Trust(const Credentials& root);

    // A certificate issued by the given authority (by default the trusted root).
    Credentials Issue(const CertificateRequest& request);
    Credentials Issue(const CertificateRequest& request, const Credentials& issuer);

    // A time-stamping authority (critical extended key usage timeStamping) issued by the given
    // authority, valid from 30 days ago for a year.
    Credentials IssueTimeStampingAuthority(const Credentials& issuer);

    // A signed copy of a PE file, by default the unsigned test program, with the given digest
    // ("sha256" or "sha1"); intermediates go into the signature beside the signer's certificate.
    // With a time stamp, the signature is made at its time and carries an RFC 3161 time-stamp
    // token of its authority for that time (osslsigncode's own authority, so no server is
    // needed and the test chooses the stamped time).
    boost::filesystem::path Sign(const Credentials& signer, const std::string& digest = "sha256",
                                 const std::vector<Credentials>& intermediates = {},
                                 const boost::filesystem::path& input = UnsignedProgram(),
                                 const std::optional<TimeStamp>& stamp = std::nullopt);
    // A copy of a signed file whose signer carries the older Authenticode time stamp, a PKCS #9
    // counter-signature of the authority for the stamp's time; the authority's certificate
    // joins the signature's certificates.
    boost::filesystem::path CounterSign(const boost::filesystem::path& signedFile,
                                        const TimeStamp& stamp);
    // A copy of the signed file "to" with the time stamps (unsigned attributes of the signer)
    // and the certificates of the signed file "from": a stamp for another signature.
    boost::filesystem::path MoveTimeStamps(const boost::filesystem::path& from,
                                           const boost::filesystem::path& to);
    // Shorthand: a copy signed by a code-signing publisher of the trusted root with this common
    // name.
    boost::filesystem::path SignedBy(const std::string& commonName);

private:
    boost::filesystem::path NextPath(const std::string& extension);

    TemporaryFolder folder;
    int files = 0;
    Credentials root;
};

// Writes bytes to a file, replacing it.
void WriteBinaryFile(const boost::filesystem::path& path, const std::string& content);
} // namespace CorvaneTest
