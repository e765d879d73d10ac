#include "SignedFiles.h"
#include "WindowsFixtures.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

namespace fs = boost::filesystem;

namespace CorvaneTest
{
struct TrustedTestRoot::Trust
{
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT root = nullptr;
};

fs::path UnsignedProgram()
{
    return Windows::HostPath(CORVANE_UNSIGNED_PROGRAM);
}

fs::path SignedFilesFolder()
{
    return Windows::HostPath(CORVANE_SIGNED_FILES_FOLDER);
}

TrustedTestRoot::TrustedTestRoot(const std::string& name) : trust(std::make_unique<Trust>())
{
    std::ifstream file((SignedFilesFolder() / (name + ".cer")).wstring().c_str(), std::ios::binary);
    const std::vector<unsigned char> der((std::istreambuf_iterator<char>(file)), {});
    trust->store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (der.empty() || !trust->store ||
        !CertAddEncodedCertificateToStore(trust->store, X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, &trust->root))
    {
        if (trust->store)
            CertCloseStore(trust->store, 0);
        throw std::runtime_error("cannot place the test root in the certificate store");
    }
}

TrustedTestRoot::~TrustedTestRoot()
{
    // Deleting also frees the context.
    CertDeleteCertificateFromStore(trust->root);
    CertCloseStore(trust->store, 0);
}
} // namespace CorvaneTest
