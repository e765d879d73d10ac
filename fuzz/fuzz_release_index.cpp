// The definitions release index with its Ed25519 signature check, as the update library takes
// them from a server. Input: a byte; when it is odd, a genuine signature is made here for the
// text, else a length byte and that many bytes of signature follow; the rest is the index.
// Invariants: only the publisher's own signature of exactly this text verifies; the index
// parser fails only with its own two failures; a parsed index holds nothing unsafe and reads
// back the same when written out again.
#include "FuzzSupport.h"

#include "Crypto.h"
#include "Failure.h"
#include "Index.h"

#include <boost/json.hpp>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <set>

namespace
{
using namespace UpdateServiceCom;

EVP_PKEY* privateKey = nullptr;
std::unique_ptr<PublicKey> publicKey;

// A fixed test key pair: the public half goes through the library's own key loader.
void MakeKeys()
{
    unsigned char seed[32];
    for (unsigned i = 0; i < sizeof seed; ++i)
        seed[i] = static_cast<unsigned char>(i * 7 + 1);
    privateKey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, sizeof seed);
    const auto file = CorvaneFuzz::ScratchFolder() / "publisher.pub";
    std::FILE* stream = std::fopen(file.c_str(), "wb");
    if (!privateKey || !stream || PEM_write_PUBKEY(stream, privateKey) != 1)
        CorvaneFuzz::Fail("making the test key pair");
    std::fclose(stream);
    publicKey = std::make_unique<PublicKey>(std::filesystem::path(file.string()));
}

std::string Sign(const std::string& text)
{
    std::string signature(64, '\0');
    std::size_t size = signature.size();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool signed_ =
        context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, privateKey) == 1 &&
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
    EVP_MD_CTX_free(context);
    if (!signed_ || size != 64)
        CorvaneFuzz::Fail("signing");
    return signature;
}

// The index written out again as its publisher would.
std::string Written(const Index& index)
{
    boost::json::array files;
    for (const IndexFile& file : index.files)
        files.push_back(
            boost::json::object{{"name", file.name}, {"size", file.size}, {"sha256", file.sha256}});
    return boost::json::serialize(boost::json::object{{"format", 1},
                                                      {"version", index.version},
                                                      {"sequence", index.sequence},
                                                      {"files", std::move(files)}});
}

void CheckParsed(const Index& index, const std::string& text)
{
    const std::string detail = CorvaneFuzz::Escaped(text);
    CORVANE_FUZZ_CHECK(!index.version.empty() && index.version.size() <= 64, detail);
    for (const char c : index.version)
        CORVANE_FUZZ_CHECK(c >= 0x20 && c < 0x7F, detail);
    CORVANE_FUZZ_CHECK(!index.files.empty(), detail);
    std::set<std::string> names;
    for (const IndexFile& file : index.files)
    {
        CORVANE_FUZZ_CHECK(IsSafeFileName(file.name), CorvaneFuzz::Escaped(file.name));
        CORVANE_FUZZ_CHECK(file.name.find_first_of("/\\:") == std::string::npos, file.name);
        CORVANE_FUZZ_CHECK(file.size <= (std::uint64_t{4} << 30), detail);
        CORVANE_FUZZ_CHECK(file.sha256.size() == 64 && file.sha256.find_first_not_of(
                                                           "0123456789abcdef") == std::string::npos,
                           detail);
        std::string lower = file.name;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        CORVANE_FUZZ_CHECK(names.insert(lower).second, detail);
    }

    const Index again = ParseIndex(Written(index));
    CORVANE_FUZZ_CHECK(again.version == index.version && again.sequence == index.sequence &&
                           again.files.size() == index.files.size(),
                       detail);
    for (std::size_t i = 0; i < index.files.size(); ++i)
        CORVANE_FUZZ_CHECK(again.files[i].name == index.files[i].name &&
                               again.files[i].size == index.files[i].size &&
                               again.files[i].sha256 == index.files[i].sha256,
                           detail);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    MakeKeys();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CorvaneFuzz::Input input(data, size);
    const bool genuine = input.Byte() & 1;
    std::string signature;
    for (unsigned length = genuine ? 0 : input.Byte(); length > 0; --length)
        signature += static_cast<char>(input.Byte());
    const std::string text = input.Rest();
    const std::string own = Sign(text);
    if (genuine)
        signature = own;

    // The update library's order: a signature is 64 bytes, then it must verify, then the index
    // is read.
    const bool verifies = signature.size() == 64 && publicKey->Verifies(text, signature);
    CORVANE_FUZZ_CHECK(verifies == (signature == own), CorvaneFuzz::Escaped(signature));
    if (genuine)
    {
        std::string altered = signature;
        altered[text.size() % 64] ^= 0x01;
        CORVANE_FUZZ_CHECK(!publicKey->Verifies(text, altered), "altered signature verifies");
        CORVANE_FUZZ_CHECK(!publicKey->Verifies(text + " ", signature),
                           "signature verifies a longer text");
    }

    try
    {
        CheckParsed(ParseIndex(text), text);
    }
    catch (const Failure& failure)
    {
        CORVANE_FUZZ_CHECK(failure.Code() == IndexMalformed || failure.Code() == IndexUnsafePath,
                           failure.what());
    }
    return 0;
}
