#include "Index.h"

#include "Failure.h"

#include <algorithm>
#include <boost/json.hpp>
#include <cctype>
#include <set>

namespace UpdateServiceCom
{
namespace json = boost::json;

namespace
{
constexpr std::size_t MaxFiles = 10000;
constexpr std::size_t MaxNameLength = 100;
constexpr std::size_t MaxVersionLength = 64;
constexpr std::uint64_t MaxFileSize = std::uint64_t{4} << 30;

[[noreturn]] void Malformed(const std::string& why)
{
    throw Failure(IndexMalformed, "The definitions index is malformed: " + why);
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

const json::value& Member(const json::object& object, const char* key)
{
    const json::value* value = object.if_contains(key);
    if (!value)
        Malformed(std::string("no \"") + key + "\"");
    return *value;
}

std::uint64_t Unsigned(const json::object& object, const char* key)
{
    const json::value& value = Member(object, key);
    if (value.is_uint64())
        return value.get_uint64();
    if (value.is_int64() && value.get_int64() >= 0)
        return static_cast<std::uint64_t>(value.get_int64());
    Malformed(std::string("\"") + key + "\" is not a whole number of at least 0");
}

const json::string& Text(const json::object& object, const char* key)
{
    const json::value& value = Member(object, key);
    if (!value.is_string())
        Malformed(std::string("\"") + key + "\" is not a string");
    return value.get_string();
}

bool IsLowerHex(const std::string& text, std::size_t length)
{
    return text.size() == length &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The version becomes a line of update.txt, so it is one line of printable ASCII.
bool IsPrintableLine(const std::string& text)
{
    return !text.empty() && text.size() <= MaxVersionLength &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

IndexFile ReadFile(const json::value& entry)
{
    if (!entry.is_object())
        Malformed("a file entry is not an object");
    const json::object& object = entry.get_object();
    IndexFile file;
    file.name = std::string(Text(object, "name"));
    if (file.name.empty())
        Malformed("a file has an empty name");
    if (!IsSafeFileName(file.name))
        throw Failure(IndexUnsafePath, "The definitions index names an unsafe file: " + file.name);
    file.size = Unsigned(object, "size");
    if (file.size > MaxFileSize)
        Malformed("the file " + file.name + " is too large");
    file.sha256 = std::string(Text(object, "sha256"));
    if (!IsLowerHex(file.sha256, 64))
        Malformed("the digest of " + file.name + " is not 64 lower-case hex digits");
    return file;
}
} // namespace

bool IsSafeFileName(const std::string& name)
{
    if (name.empty() || name.size() > MaxNameLength || name.front() == '.' || name.back() == '.')
        return false;
    const bool plainCharacters = std::all_of(
        name.begin(), name.end(),
        [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
        });
    if (!plainCharacters)
        return false;
    const std::string lower = Lower(name);
    if (lower == VersionFileName || lower == IndexFileName)
        return false;
    // Device names stay devices on Windows whatever extension follows them.
    static const std::set<std::string> devices = {
        "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
        "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
    return devices.count(lower.substr(0, lower.find('.'))) == 0;
}

Index ParseIndex(const std::string& text)
{
    boost::system::error_code error;
    const json::value document = json::parse(text, error);
    if (error)
        Malformed("not JSON (" + error.message() + ")");
    if (!document.is_object())
        Malformed("not a JSON object");
    const json::object& root = document.get_object();
    if (Unsigned(root, "format") != 1)
        Malformed("unknown format");

    Index index;
    index.version = std::string(Text(root, "version"));
    if (!IsPrintableLine(index.version))
        Malformed("the version is not one short line of printable text");
    index.sequence = Unsigned(root, "sequence");

    const json::value& files = Member(root, "files");
    if (!files.is_array())
        Malformed("\"files\" is not an array");
    if (files.get_array().empty())
        Malformed("the release has no files");
    if (files.get_array().size() > MaxFiles)
        Malformed("too many files");
    std::set<std::string> names;
    for (const json::value& entry : files.get_array())
    {
        IndexFile file = ReadFile(entry);
        // Names are compared without case: they must stay distinct on Windows too.
        if (!names.insert(Lower(file.name)).second)
            Malformed("the file " + file.name + " is listed twice");
        index.files.push_back(std::move(file));
    }
    return index;
}
std::string WriteIndex(const Index& index)
{
    json::array files;
    for (const IndexFile& file : index.files)
        files.push_back(
            json::object{{"name", file.name}, {"size", file.size}, {"sha256", file.sha256}});
    return json::serialize(json::object{{"format", 1},
                                        {"version", index.version},
                                        {"sequence", index.sequence},
                                        {"files", std::move(files)}}) +
           "\n";
}
} // namespace UpdateServiceCom
