// The publisher key loader: any file content where UpdateServiceCom.pub is expected.
// Invariants: the loader fails only with PublicKeyMissing; a key it accepts takes no empty
// signature. (Whoever controls this file controls trust, so a weak key is no finding.)
#include "FuzzSupport.h"

#include "Crypto.h"
#include "Failure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace UpdateServiceCom;
    const auto file = CorvaneFuzz::WriteFile(CorvaneFuzz::ScratchFolder() / "publisher.pub",
                                             CorvaneFuzz::Bytes(data, size));
    try
    {
        const PublicKey key(std::filesystem::path(file.string()));
        CORVANE_FUZZ_CHECK(!key.Verifies("index", std::string()), "empty signature verifies");
    }
    catch (const Failure& failure)
    {
        CORVANE_FUZZ_CHECK(failure.Code() == PublicKeyMissing, failure.what());
    }
    return 0;
}
