#include "Crypto.h"

#include "Failure.h"

#include <fstream>
#include <iterator>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <vector>

namespace UpdateServiceCom
{
namespace
{
std::string Hex(const unsigned char* bytes, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i)
    {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}
} // namespace

bool InitializeCrypto()
{
    // OpenSSL keeps the options of its first initialisation; later calls change nothing.
    return OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
}

struct Sha256::Context
{
    EVP_MD_CTX* handle = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(handle); }
};

Sha256::Sha256() : context(std::make_unique<Context>())
{
    if (!context->handle || EVP_DigestInit_ex(context->handle, EVP_sha256(), nullptr) != 1)
        throw Failure(Internal, "Couldn't start a SHA-256 digest");
}

Sha256::~Sha256() = default;

void Sha256::Add(const void* data, std::size_t size)
{
    if (EVP_DigestUpdate(context->handle, data, size) != 1)
        throw Failure(Internal, "Couldn't compute a SHA-256 digest");
}

std::string Sha256::Finish()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context->handle, digest, &size) != 1)
        throw Failure(Internal, "Couldn't compute a SHA-256 digest");
    return Hex(digest, size);
}

std::string FileSha256(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw Failure(LocalFileError, "Couldn't open " + path.string());
    Sha256 digest;
    std::vector<char> buffer(1 << 16);
    while (file)
    {
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        digest.Add(buffer.data(), static_cast<std::size_t>(file.gcount()));
    }
    if (file.bad())
        throw Failure(LocalFileError, "Couldn't read " + path.string());
    return digest.Finish();
}

struct PublicKey::Key
{
    EVP_PKEY* handle = nullptr;
    ~Key() { EVP_PKEY_free(handle); }
};

PublicKey::PublicKey(const std::filesystem::path& file) : key(std::make_unique<Key>())
{
    // Read through the C++ stream, which takes the system's own path form (wide on Windows).
    std::ifstream stream(file, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(stream),
                           std::istreambuf_iterator<char>()};
    if (!stream.is_open() || stream.bad())
        throw Failure(PublicKeyMissing, "Couldn't open the publisher key " + file.string());
    BIO* memory = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (memory)
        key->handle = PEM_read_bio_PUBKEY(memory, nullptr, nullptr, nullptr);
    BIO_free(memory);
    if (!key->handle || EVP_PKEY_get_base_id(key->handle) != EVP_PKEY_ED25519)
        throw Failure(PublicKeyMissing, "The publisher key is not an Ed25519 public key");
}

PublicKey::~PublicKey() = default;

bool PublicKey::Verifies(const std::string& message, const std::string& signature) const
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (!context)
        return false;
    const bool valid =
        EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key->handle) == 1 &&
        EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                         message.size()) == 1;
    EVP_MD_CTX_free(context);
    return valid;
}
} // namespace UpdateServiceCom
