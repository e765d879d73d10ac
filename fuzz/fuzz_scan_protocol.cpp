// A frame body from the other end of the engine service's socket, as either side decodes it.
// Invariant: what decodes encodes to the very same bytes, so nothing is read but the fields.
#include "FuzzSupport.h"

#include "ScanProtocol/Messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);
    const std::optional<ScanProtocol::Message> message = ScanProtocol::Decode(body);
    if (message)
        CORVANE_FUZZ_CHECK(ScanProtocol::Encode(*message) == body,
                           "a decoded message encodes differently");
    if (size >= 4)
    {
        const std::optional<std::size_t> length = ScanProtocol::BodyLength(data);
        CORVANE_FUZZ_CHECK(!length || (*length > 0 && *length <= ScanProtocol::maxBody),
                           "a length beyond the cap was accepted");
    }
    return 0;
}
