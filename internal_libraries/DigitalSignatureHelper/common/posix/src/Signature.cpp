// Authenticode verification with OpenSSL: the PKCS #7 signed data embedded in a PE file carries
// an SpcIndirectDataContent with the digest of the image; the signature covers that content and
// the signer must chain to one of OpenSSL's default trust roots, at the time that a time stamp
// of a trusted time-stamping authority vouches for, or else now.
#include "DigitalSignatureHelper/Signature.h"

#include "ExceptionHelper/Exception.h"
#include "FileSystemHelper/Text.h"
#include "PeImage.h"

#include <boost/locale/encoding_utf.hpp>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
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
using SignerInfo = std::unique_ptr<PKCS7_SIGNER_INFO, Releaser<PKCS7_SIGNER_INFO_free>>;
using TimeStampInfo = std::unique_ptr<TS_TST_INFO, Releaser<TS_TST_INFO_free>>;
using TimeStampContext = std::unique_ptr<TS_VERIFY_CTX, Releaser<TS_VERIFY_CTX_free>>;
using Time = std::unique_ptr<ASN1_TIME, Releaser<ASN1_TIME_free>>;

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

// The PKCS #7 signed data encoded in exactly these bytes.
Pkcs7 ParseSignedData(const unsigned char* der, std::size_t size)
{
    const unsigned char* next = der;
    Pkcs7 pkcs7(d2i_PKCS7(nullptr, &next, static_cast<long>(size)));
    if (!pkcs7 || next != der + size || !PKCS7_type_is_signed(pkcs7.get()) || !pkcs7->d.sign)
        return nullptr;
    return pkcs7;
}

Pkcs7 ParseSignedData(const std::vector<unsigned char>& der)
{
    return ParseSignedData(der.data(), der.size());
}

bool ImageDigestMatches(const Detail::PeImage& image, const IndirectData& claimed)
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

// A certificate may take part in the given usage (XKU_CODE_SIGN, XKU_TIMESTAMP) when it lists no
// extended key usage, or lists that usage or any usage.
bool AllowsUsage(X509* certificate, std::uint32_t usage)
{
    const std::uint32_t extensions = X509_get_extension_flags(certificate);
    return !(extensions & EXFLAG_XKUSAGE) ||
           (X509_get_extended_key_usage(certificate) & (usage | XKU_ANYEKU));
}

// The trust roots: OpenSSL's default paths, which honour SSL_CERT_FILE and SSL_CERT_DIR.
Store TrustedRoots()
{
    Store store(X509_STORE_new());
    if (!store || X509_STORE_set_default_paths(store.get()) != 1)
        return nullptr;
    return store;
}

// The certificate must chain to a trusted root at the given time (none: now), with the
// certificates of the signature as intermediates, and every certificate of the chain that
// restricts extended key usage must allow the usage.
bool ChainIsTrusted(X509* certificate, STACK_OF(X509) * intermediates,
                    std::optional<std::time_t> at, std::uint32_t usage)
{
    const Store store = TrustedRoots();
    StoreContext context(X509_STORE_CTX_new());
    if (!store || !context ||
        X509_STORE_CTX_init(context.get(), store.get(), certificate, intermediates) != 1 ||
        X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_ANY) != 1)
        return false;
    if (at)
        X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(context.get()), *at);
    if (X509_verify_cert(context.get()) != 1)
        return false;
    // The key must be allowed to make digital signatures if its usage is restricted.
    if ((X509_get_extension_flags(certificate) & EXFLAG_KUSAGE) &&
        !(X509_get_key_usage(certificate) & KU_DIGITAL_SIGNATURE))
        return false;
    const STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
    for (int i = 0; i < sk_X509_num(chain); ++i)
    {
        if (!AllowsUsage(sk_X509_value(chain, i), usage))
            return false;
    }
    return true;
}

// The time as seconds since the epoch; none when it cannot be told.
std::optional<std::time_t> SecondsOf(const ASN1_TIME* time)
{
    const Time epoch(ASN1_TIME_set(nullptr, 0));
    int days = 0;
    int seconds = 0;
    if (!time || !epoch || ASN1_TIME_check(time) != 1 ||
        ASN1_TIME_diff(&days, &seconds, epoch.get(), time) != 1)
        return std::nullopt;
    return static_cast<std::time_t>(days) * 86400 + seconds;
}

// An RFC 3161 time-stamp token (a PKCS #7 signed TSTInfo): its signature must verify, its
// authority chain to a trusted root as of the stamped time with the time-stamping usage, and
// its message imprint be the digest of the signer's signature value. The stamped time, or none.
std::optional<std::time_t> TimeStampTokenTime(const PKCS7& pkcs7, const PKCS7_SIGNER_INFO& signer,
                                              const ASN1_TYPE& value)
{
    if (value.type != V_ASN1_SEQUENCE || !value.value.sequence)
        return std::nullopt;
    const Pkcs7 token = ParseSignedData(ASN1_STRING_get0_data(value.value.sequence),
                                        static_cast<std::size_t>(value.value.sequence->length));
    const TimeStampInfo info(token ? PKCS7_to_TS_TST_INFO(token.get()) : nullptr);
    const std::optional<std::time_t> stamped =
        info ? SecondsOf(TS_TST_INFO_get_time(info.get())) : std::nullopt;
    if (!stamped)
        return std::nullopt;

    TimeStampContext context(TS_VERIFY_CTX_new());
    if (!context)
        return std::nullopt;
    // The context owns what is handed to it from here on.
    X509_STORE* store = TrustedRoots().release();
    if (!store)
        return std::nullopt;
    TS_VERIFY_CTX_set_store(context.get(), store);
    X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store), *stamped);
    STACK_OF(X509)* certificates = X509_chain_up_ref(pkcs7.d.sign->cert);
    if (pkcs7.d.sign->cert && !certificates)
        return std::nullopt;
    TS_VERIFY_CTX_set_certs(context.get(), certificates);
    BIO* data = BIO_new_mem_buf(signer.enc_digest->data, signer.enc_digest->length);
    if (!data)
        return std::nullopt;
    TS_VERIFY_CTX_set_data(context.get(), data);
    TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_VERSION | TS_VFY_SIGNATURE | TS_VFY_DATA);
    if (TS_RESP_verify_token(context.get(), token.get()) != 1)
        return std::nullopt;
    return stamped;
}

// The older Authenticode time stamp: a PKCS #9 counter-signature, a signer information whose
// authenticated attributes carry the signing time and the digest of the signer's signature
// value. Its signature must verify with a certificate of the signed data that chains to a
// trusted root as of that time and allows time stamping. The signing time, or none.
std::optional<std::time_t> CounterSignatureTime(const PKCS7& pkcs7, const PKCS7_SIGNER_INFO& signer,
                                                const ASN1_TYPE& value)
{
    if (value.type != V_ASN1_SEQUENCE || !value.value.sequence)
        return std::nullopt;
    const unsigned char* der = ASN1_STRING_get0_data(value.value.sequence);
    const unsigned char* next = der;
    const long size = value.value.sequence->length;
    const SignerInfo counterSigner(d2i_PKCS7_SIGNER_INFO(nullptr, &next, size));
    if (!counterSigner || next != der + size || !counterSigner->issuer_and_serial ||
        !counterSigner->digest_alg || !counterSigner->enc_digest)
        return std::nullopt;
    const ASN1_OBJECT* algorithm = counterSigner->digest_alg->algorithm;
    const EVP_MD* digest = DigestOf({OBJ_get0_data(algorithm), OBJ_length(algorithm)});
    X509* authority =
        X509_find_by_issuer_and_serial(pkcs7.d.sign->cert, counterSigner->issuer_and_serial->issuer,
                                       counterSigner->issuer_and_serial->serial);
    const ASN1_OCTET_STRING* claimed = PKCS7_digest_from_attributes(counterSigner->auth_attr);
    const ASN1_TYPE* signingTime =
        PKCS7_get_signed_attribute(counterSigner.get(), NID_pkcs9_signingTime);
    if (!digest || !authority || !claimed || !signingTime ||
        (signingTime->type != V_ASN1_UTCTIME && signingTime->type != V_ASN1_GENERALIZEDTIME))
        return std::nullopt;
    const std::optional<std::time_t> signed_ = SecondsOf(signingTime->value.utctime);

    unsigned char imprint[EVP_MAX_MD_SIZE];
    unsigned int imprintSize = 0;
    if (!signed_ ||
        EVP_Digest(signer.enc_digest->data, static_cast<std::size_t>(signer.enc_digest->length),
                   imprint, &imprintSize, digest, nullptr) != 1 ||
        !(Der{imprint, imprintSize} == Der{ASN1_STRING_get0_data(claimed),
                                           static_cast<std::size_t>(ASN1_STRING_length(claimed))}))
        return std::nullopt;

    // The signature covers the DER of the authenticated attributes as a SET.
    unsigned char* attributes = nullptr;
    const int attributesSize =
        ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(counterSigner->auth_attr), &attributes,
                      ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    const Utf8Text attributesOwner(attributes);
    DigestContext context(EVP_MD_CTX_new());
    EVP_PKEY* key = X509_get0_pubkey(authority);
    if (attributesSize <= 0 || !context || !key ||
        EVP_DigestVerifyInit(context.get(), nullptr, digest, nullptr, key) != 1 ||
        EVP_DigestVerify(context.get(), counterSigner->enc_digest->data,
                         static_cast<std::size_t>(counterSigner->enc_digest->length), attributes,
                         static_cast<std::size_t>(attributesSize)) != 1)
        return std::nullopt;
    // A time-stamping authority must say so in its extended key usage.
    if (!(X509_get_extension_flags(authority) & EXFLAG_XKUSAGE) ||
        !(X509_get_extended_key_usage(authority) & XKU_TIMESTAMP) ||
        !ChainIsTrusted(authority, pkcs7.d.sign->cert, signed_, XKU_TIMESTAMP))
        return std::nullopt;
    return signed_;
}

// RFC 3161 time-stamp token, as an unsigned attribute of the signer: 1.3.6.1.4.1.311.3.3.1.
const unsigned char timeStampTokenObjid[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                             0x82, 0x37, 0x03, 0x03, 0x01};

// The time at which the signer's chain is checked: the time of its time stamp, or now (none)
// when it has none. False when a time stamp does not verify or there is more than one: a broken
// stamp makes the signature untrusted rather than quietly checked at the current time.
bool SigningTime(const PKCS7& pkcs7, const PKCS7_SIGNER_INFO& signer,
                 std::optional<std::time_t>& at)
{
    at.reset();
    int stamps = 0;
    const STACK_OF(X509_ATTRIBUTE)* attributes = PKCS7_get_attributes(&signer);
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i)
    {
        X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        const ASN1_OBJECT* type = X509_ATTRIBUTE_get0_object(attribute);
        const bool token = Der{OBJ_get0_data(type), OBJ_length(type)} == DerOf(timeStampTokenObjid);
        if (!token && OBJ_obj2nid(type) != NID_pkcs9_countersignature)
            continue;
        for (int j = 0; j < X509_ATTRIBUTE_count(attribute); ++j)
        {
            const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, j);
            if (++stamps > 1 || !value)
                return false;
            at = token ? TimeStampTokenTime(pkcs7, signer, *value)
                       : CounterSignatureTime(pkcs7, signer, *value);
            if (!at)
                return false;
        }
    }
    return true;
}

bool VerifyImage(const Detail::PeImage& image)
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

    const PKCS7_SIGNER_INFO* signerInfo =
        sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(pkcs7.get()), 0);
    std::optional<std::time_t> at;
    if (!signerInfo || !signerInfo->enc_digest || !SigningTime(*pkcs7, *signerInfo, at))
        return false;

    STACK_OF(X509)* signers = PKCS7_get0_signers(pkcs7.get(), nullptr, 0);
    if (!signers)
        return false;
    const bool trusted =
        sk_X509_num(signers) == 1 &&
        ChainIsTrusted(sk_X509_value(signers, 0), pkcs7->d.sign->cert, at, XKU_CODE_SIGN);
    sk_X509_free(signers);
    return trusted;
}

// The file at the path, opened once: every read goes through this descriptor. Only regular
// files count (opening a FIFO does not wait for a writer).
class OpenedFile
{
public:
    explicit OpenedFile(const boost::filesystem::path& path)
        : descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK))
    {
        struct stat status = {};
        if (descriptor >= 0 && ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode))
            size = static_cast<std::uint64_t>(status.st_size);
    }
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;
    ~OpenedFile()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }

    // The signature layout of the file; null when it has none.
    std::unique_ptr<Detail::PeImage> Image() const
    {
        if (!size)
            return nullptr;
        return Detail::PeImage::Open(
            [this](std::uint64_t offset, void* buffer, std::size_t length)
            { return Read(offset, static_cast<unsigned char*>(buffer), length); },
            *size);
    }

private:
    bool Read(std::uint64_t offset, unsigned char* buffer, std::size_t length) const
    {
        while (length > 0)
        {
            const ssize_t got = ::pread(descriptor, buffer, length, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            buffer += got;
            length -= static_cast<std::size_t>(got);
            offset += static_cast<std::uint64_t>(got);
        }
        return true;
    }

    int descriptor;
    std::optional<std::uint64_t> size;
};

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
// The chosen name of the first signer's certificate in the image's signature, which is read, not
// verified; throws as CertificateName does.
std::wstring NameOf(const Detail::PeImage* image, Signature::NameType type)
{
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
    if (type != Signature::SubjectSimpleDisplayName)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CertGetNameString"));

    const auto name = SimpleDisplayName(*certificate);
    if (!name)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CertGetNameString"));
    return *name;
}
} // namespace

bool Signature::Verify(const std::wstring& path)
{
    const ErrorQueueCleaner cleaner;
    try
    {
        const OpenedFile file(FileSystemHelper::PathFromWide(path));
        const auto image = file.Image();
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
    const OpenedFile file(path);
    return NameOf(file.Image().get(), type);
}

std::optional<std::wstring> Signature::VerifiedCertificateName(const std::wstring& path,
                                                               NameType type)
{
    const ErrorQueueCleaner cleaner;
    const OpenedFile file(FileSystemHelper::PathFromWide(path));
    const auto image = file.Image();
    // The name comes from the very signature bytes that were verified.
    if (!image || !VerifyImage(*image))
        return std::nullopt;
    return NameOf(image.get(), type);
}

std::optional<std::wstring>
Signature::VerifiedCertificateName(std::uint64_t size, const ContentReader& read, NameType type)
{
    const ErrorQueueCleaner cleaner;
    const auto image = size ? Detail::PeImage::Open(read, size) : nullptr;
    if (!image || !VerifyImage(*image))
        return std::nullopt;
    return NameOf(image.get(), type);
}
} // namespace DigitalSignatureHelper
