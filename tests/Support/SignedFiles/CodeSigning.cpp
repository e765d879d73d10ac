#include "CodeSigning.h"
#include "PeLayout.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>

extern char** environ;

namespace fs = std::filesystem;

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
using Pkcs7 = std::unique_ptr<PKCS7, Releaser<PKCS7_free>>;
using SignerInfo = std::unique_ptr<PKCS7_SIGNER_INFO, Releaser<PKCS7_SIGNER_INFO_free>>;

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
    Key key(EVP_RSA_gen(2048)); // Wine verifies RSA signatures only
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
// The signed data of a signed PE file.
Pkcs7 ReadSignedData(const std::string& image)
{
    const std::size_t table = PeLayout(image).certificateTable;
    const auto* der = reinterpret_cast<const unsigned char*>(image.data() + table + 8);
    Pkcs7 pkcs7(d2i_PKCS7(nullptr, &der, static_cast<long>(Read32(image, table) - 8)));
    Check(pkcs7 && PKCS7_type_is_signed(pkcs7.get()), "read a signature");
    return pkcs7;
}

// The image with its certificate table replaced by one entry of the signed data, padded to eight
// bytes as signing tools do.
std::string WithSignedData(const std::string& image, PKCS7* pkcs7)
{
    unsigned char* der = nullptr;
    const int size = i2d_PKCS7(pkcs7, &der);
    Check(size > 0, "encode a signature");
    std::string entry(8, '\0');
    entry.append(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
    OPENSSL_free(der);
    entry.resize((entry.size() + 7) & ~std::size_t{7}, '\0');
    Write32(entry, 0, static_cast<std::uint32_t>(entry.size()));
    Write32(entry, 4, 0x00020200);

    const std::size_t securityEntry = PeLayout(image).securityEntry;
    std::string result = image.substr(0, Read32(image, securityEntry)) + entry;
    Write32(result, securityEntry + 4, static_cast<std::uint32_t>(entry.size()));
    return result;
}

// Runs a program with its arguments (the first is its path), its output discarded and its
// errors shown, and waits; true when it exits with 0.
bool Run(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    std::vector<std::string> copies(arguments);
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int started = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (started != 0)
        return false;
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

PKCS7_SIGNER_INFO* FirstSigner(PKCS7* pkcs7)
{
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(pkcs7), 0);
    Check(signer != nullptr, "find the signer");
    return signer;
}
} // namespace

CodeSigningLab::CodeSigningLab(fs::path folder, fs::path osslsigncode)
    : folder(std::move(folder)), osslsigncode(std::move(osslsigncode)),
      root(CreateRoot("Corvane Test Root"))
{
}

Credentials CodeSigningLab::CreateRoot(const std::string& commonName)
{
    CertificateRequest request;
    request.subject = {{"CN", commonName}};
    request.extendedKeyUsage.clear();
    request.certificateAuthority = true;
    request.validFromDays = -30;
    return MakeCertificate(NextPath(""), request, nullptr);
}

Credentials CodeSigningLab::IssueTimeStampingAuthority(const Credentials& issuer)
{
    CertificateRequest request;
    request.subject = {{"CN", "Corvane Test Time Stamps"}};
    request.extendedKeyUsage = "critical,timeStamping";
    request.validFromDays = -30;
    return Issue(request, issuer);
}

Credentials CodeSigningLab::Issue(const CertificateRequest& request)
{
    return Issue(request, root);
}

Credentials CodeSigningLab::Issue(const CertificateRequest& request, const Credentials& issuer)
{
    return MakeCertificate(NextPath(""), request, &issuer);
}

fs::path CodeSigningLab::Sign(const fs::path& input, const Credentials& signer,
                              const std::string& digest,
                              const std::vector<Credentials>& intermediates,
                              const std::optional<TimeStamp>& stamp)
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
    std::vector<std::string> arguments = {
        osslsigncode.string(), "sign", "-certs", certificates.string(), "-key",
        signer.key.string(),   "-h",   digest};
    if (stamp)
    {
        const std::string time = std::to_string(stamp->time);
        arguments.insert(arguments.end(),
                         {"-time", time, "-TSA-certs", stamp->authority.certificate.string(),
                          "-TSA-key", stamp->authority.key.string(), "-TSA-time", time});
    }
    arguments.insert(arguments.end(), {"-in", input.string(), "-out", output.string()});
    Check(Run(arguments) && fs::exists(output), "sign a program");
    return output;
}

fs::path CodeSigningLab::CounterSign(const fs::path& signedFile, const TimeStamp& stamp)
{
    const std::string image = ReadFile(signedFile);
    const Pkcs7 pkcs7 = ReadSignedData(image);
    PKCS7_SIGNER_INFO* signer = FirstSigner(pkcs7.get());
    Certificate authority = ReadCertificate(stamp.authority.certificate);
    Key key = ReadKey(stamp.authority.key);

    // Signing time and the digest of the signer's signature value, signed by the authority.
    SignerInfo counterSigner(PKCS7_SIGNER_INFO_new());
    unsigned char imprint[EVP_MAX_MD_SIZE];
    unsigned int imprintSize = 0;
    Check(
        counterSigner &&
            PKCS7_SIGNER_INFO_set(counterSigner.get(), authority.get(), key.get(), EVP_sha256()) ==
                1 &&
            PKCS7_add_attrib_content_type(counterSigner.get(), OBJ_nid2obj(NID_pkcs7_data)) == 1 &&
            PKCS7_add0_attrib_signing_time(counterSigner.get(),
                                           ASN1_TIME_set(nullptr, stamp.time)) == 1 &&
            EVP_Digest(signer->enc_digest->data,
                       static_cast<std::size_t>(signer->enc_digest->length), imprint, &imprintSize,
                       EVP_sha256(), nullptr) == 1 &&
            PKCS7_add1_attrib_digest(counterSigner.get(), imprint, static_cast<int>(imprintSize)) ==
                1 &&
            PKCS7_SIGNER_INFO_sign(counterSigner.get()) == 1,
        "counter-sign");

    unsigned char* der = nullptr;
    const int size = i2d_PKCS7_SIGNER_INFO(counterSigner.get(), &der);
    Check(size > 0, "encode a counter-signature");
    ASN1_STRING* value = ASN1_STRING_new();
    ASN1_STRING_set0(value, der, size);
    Check(PKCS7_add_attribute(signer, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, value) == 1 &&
              PKCS7_add_certificate(pkcs7.get(), authority.get()) == 1,
          "add a counter-signature");

    const fs::path output = NextPath(".exe");
    WriteBinaryFile(output, WithSignedData(image, pkcs7.get()));
    return output;
}

fs::path CodeSigningLab::MoveTimeStamps(const fs::path& from, const fs::path& to)
{
    const Pkcs7 source = ReadSignedData(ReadFile(from));
    const std::string image = ReadFile(to);
    const Pkcs7 target = ReadSignedData(image);
    PKCS7_SIGNER_INFO* signer = FirstSigner(target.get());
    sk_X509_ATTRIBUTE_pop_free(signer->unauth_attr, X509_ATTRIBUTE_free);
    signer->unauth_attr = sk_X509_ATTRIBUTE_deep_copy(FirstSigner(source.get())->unauth_attr,
                                                      X509_ATTRIBUTE_dup, X509_ATTRIBUTE_free);
    for (int i = 0; i < sk_X509_num(source->d.sign->cert); ++i)
        Check(PKCS7_add_certificate(target.get(), sk_X509_value(source->d.sign->cert, i)) == 1,
              "add a certificate");

    const fs::path output = NextPath(".exe");
    WriteBinaryFile(output, WithSignedData(image, target.get()));
    return output;
}

fs::path CodeSigningLab::NextPath(const std::string& extension)
{
    return folder / ("item" + std::to_string(++files) + extension);
}

std::string CertificateDer(const fs::path& certificate)
{
    unsigned char* der = nullptr;
    const int size = i2d_X509(ReadCertificate(certificate).get(), &der);
    Check(size > 0, "encode a certificate");
    std::string result(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
    OPENSSL_free(der);
    return result;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    Check(static_cast<bool>(file), "read a file");
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void WriteBinaryFile(const fs::path& path, const std::string& content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    Check(static_cast<bool>(file), "write a file");
}
} // namespace CorvaneTest
