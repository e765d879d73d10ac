#include "CodeSigning.h"

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace CorvaneTest
{
namespace
{
template <auto Release> struct Releaser
{
    template <typename T> void operator()(T* object) const { Release(object); }
};
using Key = std::unique_ptr<EVP_PKEY, Releaser<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Releaser<X509_free>>;
using File = std::unique_ptr<FILE, Releaser<std::fclose>>;

void Check(bool success, const char* what)
{
    if (!success)
        throw std::runtime_error(std::string("code signing lab: cannot ") + what);
}

File OpenFile(const fs::path& path, const char* mode)
{
    File file(std::fopen(path.string().c_str(), mode));
    Check(file != nullptr, "open a file");
    return file;
}

Certificate ReadCertificate(const fs::path& path)
{
    Certificate certificate(PEM_read_X509(OpenFile(path, "r").get(), nullptr, nullptr, nullptr));
    Check(certificate != nullptr, "read a certificate");
    return certificate;
}

Key ReadKey(const fs::path& path)
{
    Key key(PEM_read_PrivateKey(OpenFile(path, "r").get(), nullptr, nullptr, nullptr));
    Check(key != nullptr, "read a key");
    return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    Check(extension != nullptr, "make an extension");
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    Check(added == 1, "add an extension");
}

// Makes a certificate for a new key; a null issuer makes it self-signed.
Credentials MakeCertificate(const fs::path& stem, const CertificateRequest& request,
                            const Credentials* issuer)
{
    Key key(EVP_EC_gen("P-256"));
    Certificate certificate(X509_new());
    Check(key && certificate, "make a key");

    std::uint64_t serial = 0;
    Check(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1, "draw");
    X509_set_version(certificate.get(), X509_VERSION_3);
    ASN1_INTEGER_set_uint64(X509_get_serialNumber(certificate.get()), serial >> 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), request.validFromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), request.validUntilDays * 86400);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    for (const auto& [field, value] : request.subject)
        Check(X509_NAME_add_entry_by_txt(subject, field.c_str(), MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(value.data()),
                                         static_cast<int>(value.size()), -1, 0) == 1,
              "name the subject");
    Check(X509_set_pubkey(certificate.get(), key.get()) == 1, "set the key");

    Certificate issuerCertificate = issuer ? ReadCertificate(issuer->certificate) : nullptr;
    Key issuerKey = issuer ? ReadKey(issuer->key) : nullptr;
    X509* signingCertificate = issuer ? issuerCertificate.get() : certificate.get();
    EVP_PKEY* signingKey = issuer ? issuerKey.get() : key.get();
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(signingCertificate));

    AddExtension(certificate.get(), signingCertificate, NID_basic_constraints,
                 request.certificateAuthority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    AddExtension(certificate.get(), signingCertificate, NID_key_usage,
                 request.certificateAuthority ? "critical,keyCertSign,cRLSign"
                                              : "critical,digitalSignature");
    AddExtension(certificate.get(), signingCertificate, NID_subject_key_identifier, "hash");
    if (!request.extendedKeyUsage.empty())
        AddExtension(certificate.get(), signingCertificate, NID_ext_key_usage,
                     request.extendedKeyUsage);
    if (!request.alternativeNames.empty())
        AddExtension(certificate.get(), signingCertificate, NID_subject_alt_name,
                     request.alternativeNames);
    Check(X509_sign(certificate.get(), signingKey, EVP_sha256()) > 0, "sign a certificate");

    Credentials credentials{stem.string() + ".pem", stem.string() + ".key"};
    Check(PEM_write_X509(OpenFile(credentials.certificate, "w").get(), certificate.get()) == 1,
          "write a certificate");
    Check(PEM_write_PrivateKey(OpenFile(credentials.key, "w").get(), key.get(), nullptr, nullptr, 0,
                               nullptr, nullptr) == 1,
          "write a key");
    return credentials;
}
} // namespace

CodeSigningLab::CodeSigningLab() : root(CreateRoot("Corvane Test Root"))
{
    fs::create_directories(Folder() / "no-roots");
    Trust(root);
}

Credentials CodeSigningLab::CreateRoot(const std::string& commonName)
{
    CertificateRequest request;
    request.subject = {{"CN", commonName}};
    request.extendedKeyUsage.clear();
    request.certificateAuthority = true;
    return MakeCertificate(NextPath(""), request, nullptr);
}

void CodeSigningLab::Trust(const Credentials& root)
{
    ::setenv("SSL_CERT_FILE", root.certificate.string().c_str(), 1);
    ::setenv("SSL_CERT_DIR", (root.certificate.parent_path() / "no-roots").string().c_str(), 1);
}

Credentials CodeSigningLab::Issue(const CertificateRequest& request)
{
    return Issue(request, root);
}

Credentials CodeSigningLab::Issue(const CertificateRequest& request, const Credentials& issuer)
{
    return MakeCertificate(NextPath(""), request, &issuer);
}

fs::path CodeSigningLab::Sign(const Credentials& signer, const std::string& digest,
                              const std::vector<Credentials>& intermediates, const fs::path& input)
{
    fs::path certificates = signer.certificate;
    if (!intermediates.empty())
    {
        certificates = NextPath(".pem");
        std::string chain = ReadFile(signer.certificate);
        for (const Credentials& intermediate : intermediates)
            chain += ReadFile(intermediate.certificate);
        WriteBinaryFile(certificates, chain);
    }
    const fs::path output = NextPath(".exe");
    const RunResult result = RunProgram(
        CORVANE_OSSLSIGNCODE, {"sign", "-certs", certificates.string(), "-key", signer.key.string(),
                               "-h", digest, "-in", input.string(), "-out", output.string()});
    Check(result.exitCode == 0 && fs::exists(output), "sign the test program");
    return output;
}

fs::path CodeSigningLab::SignedBy(const std::string& commonName)
{
    CertificateRequest request;
    request.subject = {{"CN", commonName}};
    return Sign(Issue(request));
}

fs::path CodeSigningLab::NextPath(const std::string& extension)
{
    return Folder() / ("item" + std::to_string(++files) + extension);
}

fs::path UnsignedProgram()
{
    return fs::path(CORVANE_FIXTURES_FOLDER) / "unsigned-console.exe";
}

void WriteBinaryFile(const fs::path& path, const std::string& content)
{
    std::ofstream file(path.string(), std::ios::binary | std::ios::trunc);
    file << content;
    Check(static_cast<bool>(file), "write a file");
}
} // namespace CorvaneTest
