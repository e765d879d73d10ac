#include "Scanner/EngineCodeNames.h"
#include "Scanner/Scanner.h"

#include "ConsoleHelper/Console.h"
#include "ConsoleHelper/Printable.h"
#include "FileSystemHelper/OutputFile.h"
#include "FileSystemHelper/Text.h"

#include <pugixml.hpp>
#include <sstream>
#include <string>

namespace CorvaneCommandLineScanner
{
namespace
{
// Every text attribute passes through here: XML 1.0 cannot hold most control characters even
// escaped, and a strict reader rejects the whole document for one.
void SetAttribute(pugi::xml_node node, const char* name, const std::wstring& value)
{
    node.append_attribute(name).set_value(pugi::as_utf8(ConsoleHelper::Printable(value)).c_str());
}

template <typename Number> void SetNumber(pugi::xml_node node, const char* name, Number value)
{
    node.append_attribute(name).set_value(std::to_string(value).c_str());
}

void AddInfectedObject(pugi::xml_node parent, const InfectedObject& object)
{
    pugi::xml_node node = parent.append_child("InfectedObject");
    SetAttribute(node, "ObjectType", ObjectTypeName(object.objectType));
    SetAttribute(node, "ObjectPath", object.objectPath);
    SetAttribute(node, "ParentContainers", object.parentContainers);
    SetAttribute(node, "InnerObject", object.innerObject);
    SetAttribute(node, "ObjectFlags", ObjectFlagsText(object.objectFlags));
    SetNumber(node, "ArchiveFlags", object.archiveFlags);
    SetAttribute(node, "ScanStatus", ScanStatusName(object.scanStatus));
    SetNumber(node, "ScanStatusFlags", object.scanStatusFlags);
    SetAttribute(node, "ThreatType", ThreatTypeName(object.threatType));
    SetNumber(node, "Pid", object.pid);
    SetNumber(node, "RegKey", object.regKey);
    SetAttribute(node, "ThreatName", object.threatName);
    SetAttribute(node, "SysObjParentContainers", object.sysObjParentContainers);
    SetAttribute(node, "SysObjInnerObject", object.sysObjInnerObject);
    SetAttribute(node, "TempPath", object.tempPath);
    SetNumber(node, "DepthLevel", object.depthLevel);
    SetAttribute(node, "ScanAction", ActionName(object.scanAction));
}

// Writes the document in full under a temporary name and renames it into place, so that a
// folder's owner cannot redirect the write through a link or stall it with a FIFO; a path that
// names anything but a regular file fails the save.
bool Save(const pugi::xml_document& document, const std::wstring& path)
{
    std::ostringstream text;
    document.save(text);
    return text.good() &&
           FileSystemHelper::SaveWholeFile(FileSystemHelper::PathFromWide(path), text.str(),
                                           FileSystemHelper::Access::Shared);
}
} // namespace

void BuildReport(const ScanSummary& summary, pugi::xml_document& document)
{
    pugi::xml_node root = document.append_child("Summary");

    pugi::xml_node info = root.append_child("ScanInfo");
    SetAttribute(info, "ScanType", summary.scanTypeName);
    info.append_attribute("StartTime").set_value(summary.startTime.c_str());
    info.append_attribute("EndTime").set_value(summary.endTime.c_str());

    pugi::xml_node paths = root.append_child("ScanPaths");
    for (const std::wstring& path : summary.scanPaths)
        SetAttribute(paths.append_child("Path"), "Value", path);

    pugi::xml_node objects = root.append_child("InfectedObjects");
    for (const auto& object : summary.infectedObjects)
        AddInfectedObject(objects, *object);
}

void Scanner::WriteReport()
{
    pugi::xml_document document;
    BuildReport(summary, document);

    const bool readOnly = environment.readOnly;
    const bool saved = readOnly || Save(document, request.resultPath);

    if (environment.resultToStdout)
    {
        // The document goes out as wide text: a console shows every character whatever its code
        // page, and a pipe or a file gets the same UTF-8 bytes as the saved result.
        std::ostream& out = *environment.out;
        out << std::endl;
        std::wostream& wide = *environment.wideOut;
        document.save(wide);
        wide.flush();
        out << std::endl;
    }

    if (!saved)
    {
        ConsoleHelper::PrintTo(
            *environment.wideOut,
            L"\nError: Couldn't save scan result. Please check scan result path\n");
        return;
    }
    // A scan that was interrupted, or that could not cover everything it was asked to, never
    // passes for a complete one; the log says why.
    if (stop->Requested())
        ConsoleHelper::PrintTo(*environment.wideOut, L"\nScan interrupted.");
    else if (incomplete)
        ConsoleHelper::PrintTo(*environment.wideOut, L"\nScan incomplete.");
    else
        ConsoleHelper::PrintTo(*environment.wideOut, L"\nScan complete.");
    if (!readOnly)
        ConsoleHelper::PrintTo(*environment.wideOut, L"You can access scan result here: %s\n",
                               request.resultPath.c_str());
}
} // namespace CorvaneCommandLineScanner
