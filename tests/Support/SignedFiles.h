#pragma once

// The signed test programs that the build makes (SignedFiles/MakeSignedFiles.cpp) and the trust
// in their test root, for the signature tests of every platform.

#include <boost/filesystem/path.hpp>
#include <memory>
#include <string>

namespace CorvaneTest
{
// The unsigned 64-bit console program kept with the tests.
boost::filesystem::path UnsignedProgram();

// The folder of the signed programs, and one of them by its name without ".exe".
boost::filesystem::path SignedFilesFolder();
inline boost::filesystem::path SignedFile(const std::string& name)
{
    return SignedFilesFolder() / (name + ".exe");
}

// Under Wine (RunningOnWine in Installation.h) the trust provider checks the image digest and the
// signature, but neither the signer's chain to a trusted root nor the certificates' validity or
// usage, nor time stamps.

// While the object lives, this process and the programs it starts trust one root of the signed
// programs ("root" or "other-root"): on Linux as the only root (SSL_CERT_FILE and an empty
// SSL_CERT_DIR), on Windows in the local machine's "Root" store, which needs no confirmation from
// the user.
class TrustedTestRoot
{
public:
    explicit TrustedTestRoot(const std::string& name = "root");
    ~TrustedTestRoot();
    TrustedTestRoot(const TrustedTestRoot&) = delete;
    TrustedTestRoot& operator=(const TrustedTestRoot&) = delete;

private:
    struct Trust;
    std::unique_ptr<Trust> trust;
};
} // namespace CorvaneTest
