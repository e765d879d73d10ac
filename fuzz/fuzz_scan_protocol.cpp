// A frame body from the other end of the engine service's socket, as either side decodes it, and
// the same bytes as a stream of frames on the service's named pipe (a handle field and a length
// before each body).
// Invariants: what decodes encodes to the very same bytes, so nothing is read but the fields; a
// handle is taken only with a scan, folder or load request.
#include "FuzzSupport.h"

#include "ScanProtocol/Messages.h"

#include <variant>

namespace
{
void Pipe(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t headerSize = ScanProtocol::handleFieldSize + 4;
    while (size >= headerSize)
    {
        const std::optional<ScanProtocol::PipeHeader> header = ScanProtocol::ParsePipeHeader(data);
        if (!header)
            return;
        CORVANE_FUZZ_CHECK(header->length > 0 && header->length <= ScanProtocol::maxBody,
                           "a pipe frame's length beyond the cap was accepted");
        if (size - headerSize < header->length)
            return;
        const std::string frame(reinterpret_cast<const char*>(data), headerSize + header->length);
        ScanProtocol::Passes passes = ScanProtocol::Passes::Nothing;
        const std::optional<ScanProtocol::Message> message =
            ScanProtocol::DecodePipeFrame(*header, frame.substr(headerSize), passes);
        if (!message)
            return;
        CORVANE_FUZZ_CHECK(ScanProtocol::PipeHeaderOf(header->handle, header->length) +
                                   ScanProtocol::Encode(*message) ==
                               frame,
                           "a decoded pipe frame encodes differently");
        CORVANE_FUZZ_CHECK((passes == ScanProtocol::Passes::Nothing) ==
                               (header->handle == ScanProtocol::noHandle),
                           "a pipe frame's handle was dropped or made up");
        CORVANE_FUZZ_CHECK(passes == ScanProtocol::Passes::Nothing ||
                               (passes == ScanProtocol::Passes::File &&
                                std::holds_alternative<ScanProtocol::ScanRequest>(*message)) ||
                               (passes == ScanProtocol::Passes::Folder &&
                                std::holds_alternative<ScanProtocol::FolderRequest>(*message)) ||
                               (passes == ScanProtocol::Passes::SetFolder &&
                                std::holds_alternative<ScanProtocol::LoadRequest>(*message)),
                           "a handle was taken with a message that carries none");
        data += frame.size();
        size -= frame.size();
    }
}
} // namespace

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
    Pipe(data, size);
    return 0;
}
