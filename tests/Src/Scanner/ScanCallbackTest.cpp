#include "ScanFixture.h"
#include "Scanner/Scanner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace CorvaneTest;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;

namespace
{
std::vector<pugi::xml_node> Detections(const pugi::xml_document& document)
{
    std::vector<pugi::xml_node> nodes;
    for (const pugi::xml_node node : document.child("Summary").child("InfectedObjects").children())
        nodes.push_back(node);
    return nodes;
}
} // namespace

TEST(ScanCallback, DetectionIsRecordedWithEveryFieldAndItsOutcome)
{
    EngineInstallation installation(R"({"scans": [{"path": "/data", "callbacks": [
        {"objectPath": "/data/clean.txt", "scanStatus": 1, "action": 0},
        {"objectType": 6, "objectPath": "/data/archive.zip", "parentContainers": "/data",
         "innerObject": "inner.exe", "objectFlags": 268435459, "archiveFlags": -2,
         "scanStatus": 3, "scanStatusFlags": -5, "threatType": 2, "processId": 4000000000,
         "registryKey": 17, "threatName": "Test.Threat", "sysObjParentContainers": "sys parent",
         "sysObjInnerObject": "sys inner", "tempPath": "/tmp/x", "depthLevel": 2, "action": 0},
        {"objectType": 6, "objectPath": "/data/archive.zip", "parentContainers": "/data",
         "innerObject": "inner.exe", "scanStatus": 6, "action": 4}
    ]}]})");
    const auto result = installation.Run({"--custom", "/data", "--quarantine"});

    EXPECT_THAT(
        result.output,
        HasSubstr(
            "Scan started\n"
            "Object Path: /data/clean.txt. Parent Containers: (null). Inner Object: (null)\n"
            "Object Path: /data/archive.zip. Parent Containers: /data. Inner Object: inner.exe\n"
            "Object Path: /data/archive.zip. Parent Containers: /data. Inner Object: inner.exe\n"
            "\nScan complete."));
    // The action is written back for the detection only.
    const auto callbacks = installation.Calls("Callback");
    ASSERT_EQ(callbacks.size(), 3u);
    EXPECT_EQ(callbacks[0].at("actionAfter").as_int64(), 0);
    EXPECT_EQ(callbacks[1].at("actionAfter").as_int64(), 7);
    EXPECT_EQ(callbacks[2].at("actionAfter").as_int64(), 4);

    pugi::xml_document document;
    LoadReport(document, ReportPathFromOutput(result.output));
    const auto detections = Detections(document);
    ASSERT_EQ(detections.size(), 1u);
    // Every attribute, in the order written.
    std::vector<std::string> attributes;
    for (const pugi::xml_attribute attribute : detections[0].attributes())
        attributes.push_back(std::string(attribute.name()) + "=" + attribute.value());
    EXPECT_THAT(attributes,
                ElementsAre("ObjectType=Stream", "ObjectPath=/data/archive.zip",
                            "ParentContainers=/data", "InnerObject=inner.exe",
                            "ObjectFlags=Modified;Archive;Stream", "ArchiveFlags=-2",
                            "ScanStatus=Moved", "ScanStatusFlags=-5", "ThreatType=Adware",
                            "Pid=4000000000", "RegKey=17", "ThreatName=Test.Threat",
                            "SysObjParentContainers=sys parent", "SysObjInnerObject=sys inner",
                            "TempPath=/tmp/x", "DepthLevel=2", "ScanAction=QuarMove"));
}

namespace
{
using CorvaneCommandLineScanner::ScanCollector;

// One callback record: the object's path (null allowed), its status and the status flags.
struct Record
{
    const wchar_t* path;
    int status;
    int flags = 0;
};

// Delivers the records to a collector of a run with the action, through the callback; returns
// the actions written back, one per record.
std::vector<int> Deliver(ScanCollector& collector, const std::vector<Record>& records)
{
    std::vector<int> actions;
    for (const Record& record : records)
    {
        _ScanCbkParams params = {};
        params.size = sizeof params;
        params.objectPath = record.path;
        params.scanStatus = record.status;
        params.scanStatusFlags = record.flags;
        params.threatName = L"Test.Threat";
        int action = ThreatScanner::ActionDefault;
        CorvaneCommandLineScanner::ScanCallback(&params, &action, &collector);
        actions.push_back(action);
    }
    return actions;
}

// The collector's detections as "path status action".
std::vector<std::string> Rows(const ScanCollector& collector)
{
    std::vector<std::string> rows;
    for (const auto& object : collector.Detections())
        rows.push_back(std::string(object->objectPath.begin(), object->objectPath.end()) + " " +
                       std::to_string(object->scanStatus) + " " +
                       std::to_string(object->scanAction));
    return rows;
}
} // namespace

// Callback sequences and the detections they leave: a detection waits for the outcome of its
// action, which is the next report that is no detection, whatever object it names.
TEST(ScanCallback, SequencesOfReportsGiveTheDetectionsAndTheirOutcomes)
{
    struct Case
    {
        const char* name;
        std::vector<Record> records;
        std::vector<std::string> rows;
        std::vector<int> actions;
        std::vector<std::string> log;
        std::size_t refused = 0; // actions failed for want of rights
    };
    const std::vector<Case> cases = {
        {"a detection replaced before its outcome keeps its status",
         {{L"/a", 3}, {L"/b", 4}, {L"/a", 5}, {L"/b", 6}},
         {"/a 3 5", "/b 5 5"},
         {5, 5, 0, 0},
         {}},
        {"a clean object between a detection and its outcome changes nothing",
         {{L"/c", 3}, {L"/d", 1}, {L"/c", 2}},
         {"/c 2 5"},
         {5, 0, 0},
         {}},
        {"an outcome with nothing pending is ignored", {{L"/e", 6}, {L"/f", 2}}, {}, {0, 0}, {}},
        {"a null path is recorded as empty", {{nullptr, 3}}, {" 3 5"}, {5}, {}},
        {"a failure of the detected object ends it as found, and is logged with its path",
         {{L"/a", 3}, {L"/b\n\x1b[2Jx", 0, -1073741823}, {L"/a", 0, -1073741817}, {L"/c", 2}},
         {"/a 3 5"},
         {5, 0, 0, 0},
         {"Error: Couldn't scan or act on object. Path: /b\xef\xbf\xbd\xef\xbf\xbd[2Jx. Error: "
          "FileOpen",
          "Error: Couldn't scan or act on object. Path: /a. Error: FileMove"}},
        {"a refusal for want of rights counts when it ends the detection",
         {{L"/a", 3},
          {L"/b", 0, ThreatScanner::PathAccess},
          {L"/a", 0, ThreatScanner::PathAccess},
          {L"/c", 3},
          {L"/c", 0, ThreatScanner::FileRemove}},
         {"/a 3 5", "/c 3 5"},
         {5, 0, 0, 5, 0},
         {"Error: Couldn't scan or act on object. Path: /b. Error: PathAccess",
          "Error: Couldn't scan or act on object. Path: /a. Error: PathAccess",
          "Error: Couldn't scan or act on object. Path: /c. Error: FileRemove"},
         1},
    };
    for (const Case& test : cases)
    {
        SCOPED_TRACE(test.name);
        CapturedConsole console;
        ScanCollector collector(ThreatScanner::ActionDelete, console.wide);
        const LogCapture log;
        EXPECT_THAT(Deliver(collector, test.records), ElementsAreArray(test.actions));
        EXPECT_THAT(Rows(collector), ElementsAreArray(test.rows));
        EXPECT_THAT(log.Lines(), ElementsAreArray(test.log));
        EXPECT_EQ(collector.RefusedActions(), test.refused);
    }
}

// Every status, as the first call after a detection that names another object: only the
// outcome of an action ends the detection with that status; a clean or hidden object, an
// unknown status or a failure of another object leave it as found.
TEST(ScanCallback, EachStatusEndsThePendingDetectionOrLeavesIt)
{
    const std::vector<std::pair<int, int>> table = {{0, 3},  {1, 3},   {2, 2},  {5, 5},
                                                    {6, 6},  {7, 3},   {8, 8},  {9, 9},
                                                    {10, 3}, {11, 11}, {-1, 3}, {12, 3}};
    for (const auto& [status, expected] : table)
    {
        CapturedConsole console;
        ScanCollector collector(ThreatScanner::ActionDelete, console.wide);
        Deliver(collector, {{L"/detected", 3}, {L"/other", status}});
        ASSERT_EQ(collector.Detections().size(), 1u);
        EXPECT_EQ(collector.Detections()[0]->scanStatus, expected) << "status " << status;
    }
}

TEST(ScanCallback, EveryReportIsShownAsPrintableTextAndANullContextIsLogged)
{
    CapturedConsole console;
    ScanCollector collector(ThreatScanner::ActionNone, console.wide);
    Deliver(collector, {{L"/b\n\x1b[2Jx", 1}, {nullptr, 1}});
    EXPECT_EQ(console.Text(), "Object Path: /b\xef\xbf\xbd\xef\xbf\xbd[2Jx. Parent Containers: "
                              "(null). Inner Object: (null)\n"
                              "Object Path: (null). Parent Containers: (null). Inner Object: "
                              "(null)\n");

    const LogCapture log;
    _ScanCbkParams params = {};
    params.size = sizeof params;
    params.objectPath = L"/a";
    params.scanStatus = ThreatScanner::StatusInfected;
    int action = ThreatScanner::ActionDefault;
    CorvaneCommandLineScanner::ScanCallback(&params, &action, nullptr);
    CorvaneCommandLineScanner::ScanCallback(nullptr, &action, &collector);
    EXPECT_EQ(action, ThreatScanner::ActionDefault);
    EXPECT_THAT(log.Lines(), ElementsAre("Error: No self"));
    EXPECT_TRUE(collector.Detections().empty());
}

TEST(ScanCallback, ReportEscapesMarkupAndControlCharacters)
{
    CapturedConsole console;
    ScanCollector collector(ThreatScanner::ActionDisinfect, console.wide);
    _ScanCbkParams params = {};
    params.size = sizeof params;
    params.objectPath = L"/a \"q\" & <b> 'c'\u0001\u00e9\u4e2d";
    params.scanStatus = ThreatScanner::StatusInfected;
    params.threatName = L"x\ty\nz";
    CorvaneCommandLineScanner::ScanCallback(&params, nullptr, &collector);

    CorvaneCommandLineScanner::ScanSummary summary;
    summary.scanPaths = {L"/p&<>\""};
    summary.infectedObjects = collector.Detections();
    pugi::xml_document document;
    CorvaneCommandLineScanner::BuildReport(summary, document);
    std::ostringstream text;
    document.save(text);
    const std::string report = text.str();
    EXPECT_EQ(XmlCharacterProblem(report), "");
    // Control characters other than tab, which XML 1.0 cannot hold, show as U+FFFD.
    EXPECT_THAT(report, HasSubstr("ObjectPath=\"/a &quot;q&quot; &amp; &lt;b> "
                                  "'c'\xef\xbf\xbd\xc3\xa9\xe4\xb8\xad\""));
    EXPECT_THAT(report, HasSubstr("<Path Value=\"/p&amp;&lt;>&quot;\" />"));
    EXPECT_THAT(report, HasSubstr("ThreatName=\"x&#09;y\xef\xbf\xbdz\""));
    EXPECT_THAT(report, HasSubstr("ScanAction=\"Disinfect\""));
}
