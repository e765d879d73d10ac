// Authenticode verification with OpenSSL: the PKCS #7 signed data embedded in a PE file carries
// an SpcIndirectDataContent with the digest of the image; the signature covers that content and
// the signer must chain to one of OpenSSL's default trust roots.
#include "DigitalSignatureHelper/Signature.h"

#include "ExceptionHelper/Exception.h"
#include "FileSystemHelper/Text.h"
#include "PeImage.h"

#include <boost/locale/encoding_utf.hpp>
#include <cstring>
#include <memory>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <optional>
#include <vector>

namespace DigitalSignatureHelper
{
namespace
{
template <auto Release> struct Releaser
{
    template <typename T> void operator()(T* object) const { Release(object); }
};

using Pkcs7 = std::unique_ptr<PKCS7, Releaser<PKCS7_free>>;
using BioChain = std::unique_ptr<BIO, Releaser<BIO_free_all>>;
using Store = std::unique_ptr<X509_STORE, Releaser<X509_STORE_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Releaser<X509_STORE_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Releaser<EVP_MD_CTX_free>>;
using GeneralNames = std::unique_ptr<GENERAL_NAMES, Releaser<GENERAL_NAMES_free>>;

struct OpenSslFree
{
    void operator()(unsigned char* data) const { OPENSSL_free(data); }
};
using Utf8Text = std::unique_ptr<unsigned char, OpenSslFree>;

// OpenSSL reports failures on a per-thread queue; nothing here reads it, so it is emptied on the
// way out rather than left to confuse later users of the library.
struct ErrorQueueCleaner
{
    ErrorQueueCleaner() = default;
    ErrorQueueCleaner(const ErrorQueueCleaner&) = delete;
    ErrorQueueCleaner& operator=(const ErrorQueueCleaner&) = delete;
    ~ErrorQueueCleaner() { ERR_clear_error(); }
};

// A view of DER bytes.
struct Der
{
    const unsigned char* data = nullptr;
    std::size_t size = 0;

    bool operator==(const Der& other) const
    {
        return size == other.size && std::memcmp(data, other.data, size) == 0;
    }
};

template <std::size_t N> Der DerOf(const unsigned char (&bytes)[N])
{
    return {bytes, N};
}

constexpr unsigned char tagObjectIdentifier = 0x06;
constexpr unsigned char tagOctetString = 0x04;
constexpr unsigned char tagSequence = 0x30;

// Takes the element with the given tag from the front of input: its contents go to contents and
// input moves past it. Only definite lengths up to four bytes are accepted, as DER writes them.
bool TakeElement(Der& input, unsigned char tag, Der& contents)
{
    if (input.size < 2 || input.data[0] != tag)
        return false;
    std::size_t header = 2;
    std::size_t length = input.data[1];
    if (length & 0x80)
    {
        const std::size_t lengthBytes = length & 0x7F;
        if (lengthBytes == 0 || lengthBytes > 4 || input.size < 2 + lengthBytes)
            return false;
        length = 0;
        for (std::size_t i = 0; i < lengthBytes; ++i)
            length = length << 8 | input.data[2 + i];
        header += lengthBytes;
    }
    if (length > input.size - header)
        return false;
    contents = {input.data + header, length};
    input = {input.data + header + length, input.size - header - length};
    return true;
}

// Object identifiers, DER contents.
const unsigned char spcIndirectDataObjid[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                              0x82, 0x37, 0x02, 0x01, 0x04};
const unsigned char spcPeImageDataObjid[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                             0x82, 0x37, 0x02, 0x01, 0x0F};
const unsigned char sha1Objid[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
const unsigned char sha256Objid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const unsigned char sha384Objid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
const unsigned char sha512Objid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};

const EVP_MD* DigestOf(const Der& algorithm)
{
    if (algorithm == DerOf(sha1Objid))
        return EVP_sha1();
    if (algorithm == DerOf(sha256Objid))
        return EVP_sha256();
    if (algorithm == DerOf(sha384Objid))
        return EVP_sha384();
    if (algorithm == DerOf(sha512Objid))
        return EVP_sha512();
    return nullptr;
}

// What the signer claims about the image: SpcIndirectDataContent ::= SEQUENCE {
// data SEQUENCE { type OBJECT IDENTIFIER, value ANY OPTIONAL },
// messageDigest SEQUENCE { digestAlgorithm SEQUENCE { OBJECT IDENTIFIER, ANY OPTIONAL },
// digest OCTET STRING } }
struct IndirectData
{
    Der signedContent; // the contents of the outer SEQUENCE: what the signature covers
    const EVP_MD* digest = nullptr;
    Der imageDigest;
};

bool ParseIndirectData(const PKCS7& pkcs7, IndirectData& result)
{
    const PKCS7* content = pkcs7.d.sign->contents;
    if (!content || !content->type || !content->d.other ||
        content->d.other->type != V_ASN1_SEQUENCE || !content->d.other->value.sequence)
        return false;
    const ASN1_OBJECT* contentType = content->type;
    if (!(Der{OBJ_get0_data(contentType), OBJ_length(contentType)} == DerOf(spcIndirectDataObjid)))
        return false;

    const ASN1_STRING* encoded = content->d.other->value.sequence;
    Der input{ASN1_STRING_get0_data(encoded),
              static_cast<std::size_t>(ASN1_STRING_length(encoded))};
    Der indirectData, data, dataType, messageDigest, algorithm, algorithmType;
    if (!TakeElement(input, tagSequence, indirectData) || input.size != 0)
        return false;
    result.signedContent = indirectData;
    if (!TakeElement(indirectData, tagSequence, data) ||
        !TakeElement(data, tagObjectIdentifier, dataType) ||
        !(dataType == DerOf(spcPeImageDataObjid)))
        return false;
    if (!TakeElement(indirectData, tagSequence, messageDigest) ||
        !TakeElement(messageDigest, tagSequence, algorithm) ||
        !TakeElement(algorithm, tagObjectIdentifier, algorithmType) ||
        !TakeElement(messageDigest, tagOctetString, result.imageDigest))
        return false;
    result.digest = DigestOf(algorithmType);
    return result.digest &&
           result.imageDigest.size == static_cast<std::size_t>(EVP_MD_get_size(result.digest));
}

Pkcs7 ParseSignedData(const std::vector<unsigned char>& der)
{
    const unsigned char* next = der.data();
    Pkcs7 pkcs7(d2i_PKCS7(nullptr, &next, static_cast<long>(der.size())));
    if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get()) || !pkcs7->d.sign)
        return nullptr;
    return pkcs7;
}

bool ImageDigestMatches(Detail::PeImage& image, const IndirectData& claimed)
{
    DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), claimed.digest, nullptr) != 1)
        return false;
    bool updated = true;
    const bool read = image.HashedContent(
        [&](const unsigned char* data, std::size_t size)
        { updated = updated && EVP_DigestUpdate(context.get(), data, size) == 1; });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    return read && updated && EVP_DigestFinal_ex(context.get(), digest, &digestSize) == 1 &&
           Der{digest, digestSize} == claimed.imageDigest;
}

// A certificate may take part in code signing when it lists no extended key usage, or lists code
// signing or any usage.
bool AllowsCodeSigning(X509* certificate)
{
    const std::uint32_t extensions = X509_get_extension_flags(certificate);
    if ((extensions & EXFLAG_XKUSAGE) &&
        !(X509_get_extended_key_usage(certificate) & (XKU_CODE_SIGN | XKU_ANYEKU)))
        return false;
    return true;
}

// The signer's certificate must chain to a trusted root, and every certificate of the chain
// that restricts extended key usage must allow code signing.
bool SignerIsTrusted(const PKCS7& pkcs7, X509* signer)
{
    Store store(X509_STORE_new());
    StoreContext context(X509_STORE_CTX_new());
    if (!store || !context || X509_STORE_set_default_paths(store.get()) != 1 ||
        X509_STORE_CTX_init(context.get(), store.get(), signer, pkcs7.d.sign->cert) != 1 ||
        X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_ANY) != 1 ||
        X509_verify_cert(context.get()) != 1)
        return false;
    // The signer's key must be allowed to make digital signatures if its usage is restricted.
    if ((X509_get_extension_flags(signer) & EXFLAG_KUSAGE) &&
        !(X509_get_key_usage(signer) & KU_DIGITAL_SIGNATURE))
        return false;
    const STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
    for (int i = 0; i < sk_X509_num(chain); ++i)
    {
        if (!AllowsCodeSigning(sk_X509_value(chain, i)))
            return false;
    }
    return true;
}

bool VerifyImage(Detail::PeImage& image)
{
    const Pkcs7 pkcs7 = ParseSignedData(image.SignedData());
    IndirectData claimed;
    if (!pkcs7 || sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(pkcs7.get())) != 1 ||
        !ParseIndirectData(*pkcs7, claimed) || !ImageDigestMatches(image, claimed))
        return false;

    // The signature covers the contents of the SpcIndirectDataContent, without its tag and
    // length, so they are handed in as the signed data. They pass through a null filter:
    // PKCS7_verify copies a bare memory source into a second one that it leaks when the signed
    // data names a digest it cannot set up.
    BioChain content(BIO_new(BIO_f_null()));
    BIO* source =
        BIO_new_mem_buf(claimed.signedContent.data, static_cast<int>(claimed.signedContent.size));
    if (!content || !source)
    {
        BIO_free(source);
        return false;
    }
    BIO_push(content.get(), source);
    if (PKCS7_verify(pkcs7.get(), nullptr, nullptr, content.get(), nullptr, PKCS7_NOVERIFY) != 1)
        return false;

    STACK_OF(X509)* signers = PKCS7_get0_signers(pkcs7.get(), nullptr, 0);
    if (!signers)
        return false;
    const bool trusted =
        sk_X509_num(signers) == 1 && SignerIsTrusted(*pkcs7, sk_X509_value(signers, 0));
    sk_X509_free(signers);
    return trusted;
}

// The text of a name attribute; none when it does not convert to Unicode.
std::optional<std::wstring> Text(const ASN1_STRING* value)
{
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    const Utf8Text owner(utf8);
    if (length < 0)
        return std::nullopt;
    // The whole value, even past an embedded NUL, so that a name cannot pass for a shorter one.
    try
    {
        return boost::locale::conv::utf_to_utf<wchar_t>(utf8, utf8 + length,
                                                        boost::locale::conv::stop);
    }
    catch (const boost::locale::conv::conversion_error&)
    {
        return std::nullopt;
    }
}

// The simple display name of a certificate's subject: the first of these subject attributes,
// else the first e-mail address among its alternative names, else the subject's first
// attribute, else an empty name.
std::optional<std::wstring> SimpleDisplayName(const X509& certificate)
{
    const X509_NAME* subject = X509_get_subject_name(&certificate);
    for (const int attribute :
         {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress})
    {
        const int index = X509_NAME_get_index_by_NID(subject, attribute, -1);
        if (index >= 0)
            return Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    }
    const GeneralNames alternativeNames(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(&certificate, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; i < sk_GENERAL_NAME_num(alternativeNames.get()); ++i)
    {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternativeNames.get(), i);
        if (name->type == GEN_EMAIL)
            return Text(name->d.rfc822Name);
    }
    if (X509_NAME_entry_count(subject) > 0)
        return Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, 0)));
    return std::wstring();
}
} // namespace

bool Signature::Verify(const std::wstring& path)
{
    const ErrorQueueCleaner cleaner;
    try
    {
        const auto image = Detail::PeImage::Open(FileSystemHelper::PathFromWide(path));
        return image && VerifyImage(*image);
    }
    catch (...)
    {
        return false;
    }
}

std::wstring Signature::CertificateName(const boost::filesystem::path& path, NameType type)
{
    const ErrorQueueCleaner cleaner;
    const auto image = Detail::PeImage::Open(path);
    const Pkcs7 pkcs7 = image ? ParseSignedData(image->SignedData()) : nullptr;
    if (!pkcs7)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CryptQueryObject"));
    STACK_OF(X509)* certificates = pkcs7->d.sign->cert;
    if (!certificates)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("No cert store"));

    STACK_OF(PKCS7_SIGNER_INFO)* signerInfos = PKCS7_get_signer_info(pkcs7.get());
    if (sk_PKCS7_SIGNER_INFO_num(signerInfos) < 1)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CryptMsgGetParam"));
    const PKCS7_ISSUER_AND_SERIAL* signerId =
        sk_PKCS7_SIGNER_INFO_value(signerInfos, 0)->issuer_and_serial;
    X509* certificate =
        signerId ? X509_find_by_issuer_and_serial(certificates, signerId->issuer, signerId->serial)
                 : nullptr;
    if (!certificate)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CertFindCertificateInStore"));
    if (type != SubjectSimpleDisplayName)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CertGetNameString"));

    const auto name = SimpleDisplayName(*certificate);
    if (!name)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CertGetNameString"));
    return *name;
}
} // namespace DigitalSignatureHelper
