#include "ScanProtocol/Messages.h"

#include <type_traits>

namespace ScanProtocol
{
namespace
{
class Writer
{
public:
    void U8(std::uint8_t value) { out += static_cast<char>(value); }
    void U32(std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    void U64(std::uint64_t value)
    {
        U32(static_cast<std::uint32_t>(value));
        U32(static_cast<std::uint32_t>(value >> 32));
    }
    // Longer strings are cut to the bound, which the reader enforces.
    void Text(const std::string& text)
    {
        const std::size_t size = text.size() < maxName ? text.size() : maxName;
        U32(static_cast<std::uint32_t>(size));
        out.append(text, 0, size);
    }

    std::string out;
};

class Reader
{
public:
    explicit Reader(const std::string& in) : in(in) {}

    bool U8(std::uint8_t& value)
    {
        if (in.size() - at < 1)
            return false;
        value = static_cast<std::uint8_t>(in[at++]);
        return true;
    }
    bool Bool(bool& value)
    {
        std::uint8_t byte = 0;
        if (!U8(byte) || byte > 1)
            return false;
        value = byte == 1;
        return true;
    }
    bool U32(std::uint32_t& value)
    {
        if (in.size() - at < 4)
            return false;
        value = 0;
        for (int i = 0; i < 4; ++i)
            value |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[at++])) << (8 * i);
        return true;
    }
    bool I32(std::int32_t& value)
    {
        std::uint32_t raw = 0;
        if (!U32(raw))
            return false;
        value = static_cast<std::int32_t>(raw);
        return true;
    }
    bool U64(std::uint64_t& value)
    {
        std::uint32_t low = 0;
        std::uint32_t high = 0;
        if (!U32(low) || !U32(high))
            return false;
        value = (static_cast<std::uint64_t>(high) << 32) | low;
        return true;
    }
    bool Count(std::size_t bound, std::size_t& count)
    {
        std::uint32_t value = 0;
        if (!U32(value) || value > bound)
            return false;
        count = value;
        return true;
    }
    bool Text(std::string& text)
    {
        std::size_t size = 0;
        if (!Count(maxName, size) || in.size() - at < size)
            return false;
        text.assign(in, at, size);
        at += size;
        return true;
    }
    bool AtEnd() const { return at == in.size(); }

private:
    const std::string& in;
    std::size_t at = 0;
};

void Write(Writer&, const InfoRequest&) {}
void Write(Writer&, const SwitchRequest&) {}
void Write(Writer&, const StatsRequest&) {}
void Write(Writer&, const FolderRequest&) {}
void Write(Writer&, const LoadRequest&) {}
void Write(Writer&, const CommitRequest&) {}
void Write(Writer& w, const FolderReply& m)
{
    w.U8(m.serves ? 1 : 0);
}
void Write(Writer& w, const Hello& m)
{
    w.U32(m.version);
}
void Write(Writer& w, const HelloReply& m)
{
    w.U32(m.version);
}
void Write(Writer& w, const Refused& m)
{
    w.U32(static_cast<std::uint32_t>(m.code));
}
void Write(Writer& w, const ScanRequest& m)
{
    w.U8(m.scanArchives ? 1 : 0);
}
void Write(Writer& w, const SwitchReply& m)
{
    w.U32(static_cast<std::uint32_t>(m.result));
}
void Write(Writer& w, const InfoReply& m)
{
    w.U8(m.known ? 1 : 0);
    w.U32(m.version);
    w.U32(m.releaseTime);
}
void Write(Writer& w, const StatsReply& m)
{
    w.U64(m.scans);
    w.U64(m.cacheEntries);
    w.U32(m.connections);
    w.U32(m.switches);
    w.U32(m.loads);
}
void Write(Writer& w, const ScanReply& m)
{
    w.U32(static_cast<std::uint32_t>(m.error));
    // Detections that would not fit in a frame beside the signer are left out: the first ones
    // already make the object a detection.
    const std::size_t countAt = w.out.size();
    w.U32(0);
    const std::size_t signerUnits =
        m.signer ? (m.signer->size() < maxName ? m.signer->size() : maxName) : 0;
    const std::size_t signerRoom = 1 + (m.signer ? 4 + 4 * signerUnits : 0);
    std::uint32_t count = 0;
    for (const Detection& detection : m.detections)
    {
        if (count == maxDetections)
            break;
        Writer one;
        one.U32(detection.depth);
        const std::size_t members =
            detection.members.size() < maxMembers ? detection.members.size() : maxMembers;
        one.U32(static_cast<std::uint32_t>(members));
        for (std::size_t j = 0; j < members; ++j)
            one.Text(detection.members[j]);
        one.Text(detection.threatName);
        if (w.out.size() + one.out.size() + signerRoom > maxBody)
            break;
        w.out += one.out;
        ++count;
    }
    for (int i = 0; i < 4; ++i)
        w.out[countAt + i] = static_cast<char>((count >> (8 * i)) & 0xFF);
    w.U8(m.signer ? 1 : 0);
    if (m.signer)
    {
        w.U32(static_cast<std::uint32_t>(signerUnits));
        for (std::size_t i = 0; i < signerUnits; ++i)
            w.U32((*m.signer)[i]);
    }
}

bool Read(Reader&, InfoRequest&)
{
    return true;
}
bool Read(Reader&, SwitchRequest&)
{
    return true;
}
bool Read(Reader&, StatsRequest&)
{
    return true;
}
bool Read(Reader&, FolderRequest&)
{
    return true;
}
bool Read(Reader&, LoadRequest&)
{
    return true;
}
bool Read(Reader&, CommitRequest&)
{
    return true;
}
bool Read(Reader& r, FolderReply& m)
{
    return r.Bool(m.serves);
}
bool Read(Reader& r, Hello& m)
{
    return r.U32(m.version);
}
bool Read(Reader& r, HelloReply& m)
{
    return r.U32(m.version);
}
bool Read(Reader& r, Refused& m)
{
    return r.I32(m.code);
}
bool Read(Reader& r, ScanRequest& m)
{
    return r.Bool(m.scanArchives);
}
bool Read(Reader& r, SwitchReply& m)
{
    return r.I32(m.result);
}
bool Read(Reader& r, InfoReply& m)
{
    return r.Bool(m.known) && r.U32(m.version) && r.U32(m.releaseTime);
}
bool Read(Reader& r, StatsReply& m)
{
    return r.U64(m.scans) && r.U64(m.cacheEntries) && r.U32(m.connections) && r.U32(m.switches) &&
           r.U32(m.loads);
}
bool Read(Reader& r, ScanReply& m)
{
    std::size_t count = 0;
    if (!r.I32(m.error) || !r.Count(maxDetections, count))
        return false;
    m.detections.resize(count);
    for (Detection& detection : m.detections)
    {
        std::size_t members = 0;
        if (!r.U32(detection.depth) || !r.Count(maxMembers, members))
            return false;
        detection.members.resize(members);
        for (std::string& member : detection.members)
            if (!r.Text(member))
                return false;
        if (!r.Text(detection.threatName))
            return false;
    }
    bool hasSigner = false;
    if (!r.Bool(hasSigner))
        return false;
    if (hasSigner)
    {
        std::size_t size = 0;
        if (!r.Count(maxName, size))
            return false;
        m.signer.emplace(size);
        for (std::uint32_t& unit : *m.signer)
            if (!r.U32(unit))
                return false;
    }
    return true;
}

template <std::size_t index> std::optional<Message> DecodeAs(std::uint8_t type, Reader& reader)
{
    if constexpr (index == std::variant_size_v<Message>)
        return std::nullopt;
    else
    {
        if (type != index + 1)
            return DecodeAs<index + 1>(type, reader);
        std::variant_alternative_t<index, Message> message;
        if (!Read(reader, message) || !reader.AtEnd())
            return std::nullopt;
        return Message(std::move(message));
    }
}
} // namespace

std::string Encode(const Message& message)
{
    Writer writer;
    writer.U8(static_cast<std::uint8_t>(message.index() + 1));
    std::visit([&writer](const auto& m) { Write(writer, m); }, message);
    return std::move(writer.out);
}

std::optional<Message> Decode(const std::string& body)
{
    if (body.size() > maxBody)
        return std::nullopt;
    Reader reader(body);
    std::uint8_t type = 0;
    if (!reader.U8(type))
        return std::nullopt;
    return DecodeAs<0>(type, reader);
}

std::string LengthPrefix(std::size_t size)
{
    Writer writer;
    writer.U32(static_cast<std::uint32_t>(size));
    return std::move(writer.out);
}

std::optional<std::size_t> BodyLength(const unsigned char prefix[4])
{
    const std::uint32_t size =
        static_cast<std::uint32_t>(prefix[0]) | static_cast<std::uint32_t>(prefix[1]) << 8 |
        static_cast<std::uint32_t>(prefix[2]) << 16 | static_cast<std::uint32_t>(prefix[3]) << 24;
    if (size == 0 || size > maxBody)
        return std::nullopt;
    return size;
}

std::string PipeHeaderOf(std::uint64_t handle, std::size_t size)
{
    std::string out;
    for (std::size_t i = 0; i < handleFieldSize; ++i)
        out += static_cast<char>((handle >> (8 * i)) & 0xFF);
    return out + LengthPrefix(size);
}

std::optional<PipeHeader> ParsePipeHeader(const unsigned char header[handleFieldSize + 4])
{
    PipeHeader parsed;
    parsed.handle = 0;
    for (std::size_t i = handleFieldSize; i-- > 0;)
        parsed.handle = (parsed.handle << 8) | header[i];
    const std::optional<std::size_t> length = BodyLength(header + handleFieldSize);
    if (!length)
        return std::nullopt;
    parsed.length = *length;
    return parsed;
}

std::optional<Message> DecodePipeFrame(const PipeHeader& header, const std::string& body,
                                       Passes& passes)
{
    passes = Passes::Nothing;
    if (body.size() != header.length)
        return std::nullopt;
    std::optional<Message> message = Decode(body);
    if (!message || header.handle == noHandle)
        return message;
    if (std::holds_alternative<ScanRequest>(*message))
        passes = Passes::File;
    else if (std::holds_alternative<FolderRequest>(*message))
        passes = Passes::Folder;
    else if (std::holds_alternative<LoadRequest>(*message))
        passes = Passes::SetFolder;
    else
        return std::nullopt;
    return message;
}
} // namespace ScanProtocol
