#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace UpdateServiceCom
{
// Sets up OpenSSL once per process without reading any configuration file (its built-in
// configuration path is not one this library controls, and a configuration can load modules).
// Called before anything else in the library uses OpenSSL, libclamav included; false when
// OpenSSL cannot start.
bool InitializeCrypto();

// SHA-256 over data given in pieces.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Add(const void* data, std::size_t size);
    // The digest as 64 lower-case hex digits; the object cannot be used afterwards.
    std::string Finish();

private:
    struct Context;
    std::unique_ptr<Context> context;
};

// The SHA-256 digest of a whole file in lower-case hex; throws Failure (LocalFileError) when the
// file cannot be read.
std::string FileSha256(const std::filesystem::path& path);

// The publisher's Ed25519 public key, read from a PEM file.
class PublicKey
{
public:
    // Throws Failure (PublicKeyMissing) when the file is missing, unreadable or not an Ed25519
    // public key.
    explicit PublicKey(const std::filesystem::path& file);
    ~PublicKey();
    PublicKey(const PublicKey&) = delete;
    PublicKey& operator=(const PublicKey&) = delete;

    // True when signature is a valid Ed25519 signature of message under this key.
    bool Verifies(const std::string& message, const std::string& signature) const;

private:
    struct Key;
    std::unique_ptr<Key> key;
};
} // namespace UpdateServiceCom
