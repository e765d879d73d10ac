// The PE image and Authenticode signature reader fed whole files, as the scan callback hands it
// any detected file: the trusted-signature check and the signer's name.
#include "PeSignatureSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    CorvaneFuzz::TrustTestRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CorvaneFuzz::CheckFile(CorvaneFuzz::WriteFile(CorvaneFuzz::ScratchFolder() / "image.exe",
                                                  CorvaneFuzz::Bytes(data, size)));
    return 0;
}
