#include "PeSignatureSupport.h"

#include "FileSystemHelper/Text.h"

#include <boost/filesystem/operations.hpp>
#include <cstdlib>

namespace CorvaneFuzz
{
void TrustTestRoot()
{
    const boost::filesystem::path noRoots = ScratchFolder() / "no-roots";
    boost::filesystem::create_directories(noRoots);
    ::setenv("SSL_CERT_FILE", (DataFolder() / "test-root.pem").c_str(), 1);
    ::setenv("SSL_CERT_DIR", noRoots.c_str(), 1);
}

bool CheckFile(const boost::filesystem::path& file)
{
    const bool trusted =
        DigitalSignatureHelper::Signature::Verify(FileSystemHelper::WidePath(file));
    try
    {
        DigitalSignatureHelper::Signature::CertificateName(
            file, DigitalSignatureHelper::Signature::SubjectSimpleDisplayName);
    }
    catch (const boost::exception&)
    {
        // No readable signer: the documented failures.
    }
    return trusted;
}
} // namespace CorvaneFuzz
