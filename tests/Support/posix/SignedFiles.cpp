#include "SignedFiles.h"

#include <cstdlib>

namespace fs = boost::filesystem;

namespace CorvaneTest
{
struct TrustedTestRoot::Trust
{
};

fs::path UnsignedProgram()
{
    return CORVANE_UNSIGNED_PROGRAM;
}

fs::path SignedFilesFolder()
{
    return CORVANE_SIGNED_FILES_FOLDER;
}

TrustedTestRoot::TrustedTestRoot(const std::string& name)
{
    ::setenv("SSL_CERT_FILE", (SignedFilesFolder() / (name + ".pem")).c_str(), 1);
    ::setenv("SSL_CERT_DIR", (SignedFilesFolder() / "no-roots").c_str(), 1);
}

TrustedTestRoot::~TrustedTestRoot()
{
    ::unsetenv("SSL_CERT_FILE");
    ::unsetenv("SSL_CERT_DIR");
}
} // namespace CorvaneTest
