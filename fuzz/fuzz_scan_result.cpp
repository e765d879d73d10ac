// The XML scan result, built from arbitrary callback records as the engine hands them over
// (any wide code units, null strings, any numbers) and arbitrary scan paths.
// Invariants: a result whose texts hold only characters that XML and a terminal both take is
// read back by a strict XML parser with every text unchanged, and every result parses strictly,
// whatever it holds.
#include "FuzzSupport.h"

#include "Scanner/EngineCodeNames.h"
#include "Scanner/Scanner.h"

#include <boost/make_shared.hpp>
#include <expat.h>
#include <map>
#include <pugixml.hpp>
#include <sstream>

namespace
{
using namespace CorvaneCommandLineScanner;

// Characters that stay as they are in the result: XML 1.0 characters other than controls.
bool Plain(const std::wstring& text)
{
    for (const wchar_t c : text)
    {
        const auto unit = static_cast<std::uint32_t>(c);
        const bool plain = unit == 0x09 || (unit >= 0x20 && unit < 0x7F) ||
                           (unit >= 0xA0 && unit <= 0xD7FF) || (unit >= 0xE000 && unit <= 0xFFFD) ||
                           (unit >= 0x10000 && unit <= 0x10FFFF);
        if (!plain)
            return false;
    }
    return true;
}

struct Element
{
    std::string name;
    std::map<std::string, std::string> attributes;
};

void XMLCALL Start(void* user, const XML_Char* name, const XML_Char** attributes)
{
    auto& elements = *static_cast<std::vector<Element>*>(user);
    elements.push_back({name, {}});
    for (int i = 0; attributes[i]; i += 2)
        elements.back().attributes[attributes[i]] = attributes[i + 1];
}

void XMLCALL End(void*, const XML_Char*) {}

// Parses with expat, which rejects what XML 1.0 does not allow. Empty when it fails.
bool ParseStrictly(const std::string& xml, std::vector<Element>& elements, std::string& error)
{
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, &elements);
    XML_SetElementHandler(parser, Start, End);
    const bool parsed =
        XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
    if (!parsed)
        error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                std::to_string(XML_GetCurrentLineNumber(parser));
    XML_ParserFree(parser);
    return parsed;
}

std::string Utf8(const std::wstring& text)
{
    return pugi::as_utf8(text);
}

const wchar_t* Nullable(CorvaneFuzz::Input& input, std::vector<std::wstring>& texts)
{
    texts.push_back(input.WidePiece());
    // An empty piece stands for a null string, which the engine may pass for any text.
    return texts.back().empty() ? nullptr : texts.back().c_str();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CorvaneFuzz::Input input(data, size);
    ScanSummary summary;
    summary.scanTypeName = ScanTypeName(static_cast<std::int8_t>(input.Byte()));
    summary.startTime = "20240102T030405";
    summary.endTime = "20240102T030406";
    const unsigned pathCount = input.Byte() % 4;
    for (unsigned i = 0; i < pathCount; ++i)
        summary.scanPaths.push_back(input.WidePiece());

    bool plain = Plain(summary.scanTypeName);
    for (const std::wstring& path : summary.scanPaths)
        plain = plain && Plain(path);
    while (!input.Empty() && summary.infectedObjects.size() < 16)
    {
        std::vector<std::wstring> texts;
        texts.reserve(7);
        _ScanCbkParams params{};
        params.objectType = static_cast<std::int32_t>(input.Number());
        params.objectPath = Nullable(input, texts);
        params.parentContainers = Nullable(input, texts);
        params.innerObject = Nullable(input, texts);
        params.objectFlags = input.Number();
        params.archiveFlags = static_cast<std::int32_t>(input.Number());
        params.scanStatus = static_cast<std::int32_t>(input.Number());
        params.scanStatusFlags = static_cast<std::int32_t>(input.Number());
        params.threatType = static_cast<std::int32_t>(input.Number());
        params.processId = input.Number();
        params.registryKey = input.Number();
        params.threatName = Nullable(input, texts);
        params.sysObjParentContainers = Nullable(input, texts);
        params.sysObjInnerObject = Nullable(input, texts);
        params.tempPath = Nullable(input, texts);
        params.depthLevel = input.Number();
        const auto action = static_cast<std::int32_t>(input.Number());
        summary.infectedObjects.push_back(boost::make_shared<InfectedObject>(params, action));
        for (const std::wstring& text : texts)
            plain = plain && Plain(text);
    }

    pugi::xml_document document;
    BuildReport(summary, document);
    std::ostringstream written;
    document.save(written);
    const std::string xml = written.str();

    std::vector<Element> elements;
    std::string error;
    const bool parsed = ParseStrictly(xml, elements, error);
    CORVANE_FUZZ_CHECK(parsed, error + "\n" + CorvaneFuzz::Escaped(xml));
    if (!plain)
        return 0;

    // Summary, ScanInfo, ScanPaths, its Path elements, InfectedObjects, its objects.
    const std::size_t paths = summary.scanPaths.size();
    const std::size_t objects = summary.infectedObjects.size();
    CORVANE_FUZZ_CHECK(elements.size() == 4 + paths + objects, CorvaneFuzz::Escaped(xml));
    CORVANE_FUZZ_CHECK(elements[1].attributes["ScanType"] == Utf8(summary.scanTypeName), xml);
    for (std::size_t i = 0; i < paths; ++i)
        CORVANE_FUZZ_CHECK(elements[3 + i].attributes["Value"] == Utf8(summary.scanPaths[i]),
                           CorvaneFuzz::Escaped(summary.scanPaths[i]));
    for (std::size_t i = 0; i < objects; ++i)
    {
        const InfectedObject& object = *summary.infectedObjects[i];
        auto& read = elements[4 + paths + i].attributes;
        const std::pair<const char*, const std::wstring*> texts[] = {
            {"ObjectPath", &object.objectPath},
            {"ParentContainers", &object.parentContainers},
            {"InnerObject", &object.innerObject},
            {"ThreatName", &object.threatName},
            {"SysObjParentContainers", &object.sysObjParentContainers},
            {"SysObjInnerObject", &object.sysObjInnerObject},
            {"TempPath", &object.tempPath},
        };
        for (const auto& [name, text] : texts)
            CORVANE_FUZZ_CHECK(read[name] == Utf8(*text),
                               std::string(name) + ": " + CorvaneFuzz::Escaped(*text) +
                                   " read as " + CorvaneFuzz::Escaped(read[name]));
        CORVANE_FUZZ_CHECK(read["Pid"] == std::to_string(object.pid), read["Pid"]);
        CORVANE_FUZZ_CHECK(read["DepthLevel"] == std::to_string(object.depthLevel), xml);
    }
    return 0;
}
