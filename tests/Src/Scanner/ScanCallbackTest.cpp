#include "ScanFixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace CorvaneTest;
using testing::ElementsAre;
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

TEST(ScanCallback, NextReportThatIsNoDetectionIsTheOutcomeOfThePendingOne)
{
    EngineInstallation installation(R"({"scans": [{"callbacks": [
        {"objectPath": "/a", "scanStatus": 3},
        {"objectPath": "/b", "scanStatus": 4, "threatType": 99, "objectType": -1},
        {"objectPath": "/a", "scanStatus": 5},
        {"objectPath": "/b", "scanStatus": 6},
        {"objectPath": "/c", "scanStatus": 3},
        {"objectPath": "/d", "scanStatus": 1},
        {"objectPath": "/c", "scanStatus": 2},
        {"objectPath": null, "scanStatus": 3, "action": 9}
    ]}]})");
    const auto result = installation.Run({"--quick"});
    EXPECT_THAT(
        result.output,
        HasSubstr("Object Path: (null). Parent Containers: (null). Inner Object: (null)\n"));

    pugi::xml_document document;
    LoadReport(document, ReportPathFromOutput(result.output));
    std::vector<std::string> rows;
    for (const pugi::xml_node node : Detections(document))
        rows.push_back(std::string(node.attribute("ObjectPath").value()) + " " +
                       node.attribute("ScanStatus").value() + " " +
                       node.attribute("ScanAction").value() + " [" +
                       node.attribute("ThreatType").value() + node.attribute("ObjectType").value() +
                       "]");
    // /a was replaced as the pending detection before an outcome came; the next outcome is that
    // of /b whatever object it names, and the one after finds nothing pending; a clean object
    // between a detection and its outcome changes nothing; a null path is recorded as empty
    // with the action of the run.
    EXPECT_THAT(rows, ElementsAre("/a Infected None [VirusFile]", "/b Deleted None []",
                                  "/c Disinfected None [VirusFile]", " Infected None [VirusFile]"));
    const auto callbacks = installation.Calls("Callback");
    ASSERT_EQ(callbacks.size(), 8u);
    EXPECT_EQ(callbacks[7].at("actionAfter").as_int64(), 1);
}

// Every status, as the first call after a detection that names another object: only the
// outcome of an action ends the detection with that status; a clean or hidden object, an
// unknown status or a failure of another object leave it as found.
TEST(ScanCallback, EachStatusEndsThePendingDetectionOrLeavesIt)
{
    const std::vector<std::pair<int, std::string>> table = {
        {0, "Infected"},  {1, "Infected"},     {2, "Disinfected"},  {5, "Deleted"},
        {6, "Moved"},     {7, "Infected"},     {8, "UpdateFailed"}, {9, "DeletedReboot"},
        {10, "Infected"}, {11, "MovedReboot"}, {-1, "Infected"},    {12, "Infected"}};
    std::string script = R"({"scans": [{"callbacks": [)";
    for (const auto& [status, expected] : table)
        script += R"({"objectPath": "/detected)" + std::to_string(status) +
                  R"(", "scanStatus": 3}, {"objectPath": "/other", "scanStatus": )" +
                  std::to_string(status) + "},";
    script.back() = ']';
    script += "}]}";
    EngineInstallation installation(script);
    const auto result = installation.Run({"--quick", "--delete"});
    pugi::xml_document document;
    LoadReport(document, ReportPathFromOutput(result.output));
    const auto detections = Detections(document);
    ASSERT_EQ(detections.size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i)
        EXPECT_EQ(detections[i].attribute("ScanStatus").value(), table[i].second)
            << "status " << table[i].first;
}

TEST(ScanCallback, NullContextIsLoggedAndNothingRecorded)
{
    EngineInstallation installation(R"({"scans": [{"callbacks": [
        {"objectPath": "/a", "scanStatus": 3, "nullContext": true, "action": 0}]}]})");
    const auto result = installation.Run({"--quick", "--delete"});
    EXPECT_THAT(result.output,
                HasSubstr("Object Path: /a. Parent Containers: (null). Inner Object: (null)\n"));
    EXPECT_THAT(installation.LogLines(), ElementsAre("Error: No self"));
    EXPECT_EQ(installation.Calls("Callback").at(0).at("actionAfter").as_int64(), 0);
    pugi::xml_document document;
    LoadReport(document, ReportPathFromOutput(result.output));
    EXPECT_TRUE(Detections(document).empty());
}

TEST(ScanCallback, FailuresAreLoggedWithTheirPathsAndLeaveTheDetectionAsFound)
{
    // 0xC0000001 FileOpen and 0xC0000007 FileMove as signed numbers.
    EngineInstallation installation(R"({"scans": [{"callbacks": [
        {"objectPath": "/a", "scanStatus": 3},
        {"objectPath": "/b\n\u001b[2Jx", "scanStatus": 0, "scanStatusFlags": -1073741823},
        {"objectPath": "/a", "scanStatus": 0, "scanStatusFlags": -1073741817},
        {"objectPath": "/c", "scanStatus": 1}
    ]}]})");
    const auto result = installation.Run({"--quick", "--quarantine"});
    // A name cannot start a line or reach the terminal as a control sequence.
    EXPECT_THAT(result.output, HasSubstr("Object Path: /b\xef\xbf\xbd\xef\xbf\xbd[2Jx. Parent "
                                         "Containers: (null). Inner Object: (null)\n"));
    EXPECT_THAT(installation.LogLines(),
                ElementsAre("Error: Couldn't scan or act on object. Path: "
                            "/b\xef\xbf\xbd\xef\xbf\xbd[2Jx. Error: FileOpen",
                            "Error: Couldn't scan or act on object. Path: /a. Error: FileMove"));
    pugi::xml_document document;
    LoadReport(document, ReportPathFromOutput(result.output));
    const auto detections = Detections(document);
    ASSERT_EQ(detections.size(), 1u);
    EXPECT_STREQ(detections[0].attribute("ScanStatus").value(), "Infected");
}

TEST(ScanCallback, ReportEscapesMarkupAndControlCharacters)
{
    EngineInstallation installation(R"({"scans": [{"callbacks": [
        {"objectPath": "/a \"q\" & <b> 'c'\u0001\u00e9\u4e2d", "scanStatus": 3,
         "threatName": "x\ty\nz"}]}]})");
    const auto result = installation.Run({"--custom", "/p&<>\"", "--disinfect"});
    const std::string report = ReadFile(ReportPathFromOutput(result.output));
    // Control characters other than tab, which XML 1.0 cannot hold, show as U+FFFD.
    EXPECT_THAT(report, HasSubstr("ObjectPath=\"/a &quot;q&quot; &amp; &lt;b> "
                                  "'c'\xef\xbf\xbd\xc3\xa9\xe4\xb8\xad\""));
    EXPECT_THAT(report, HasSubstr("<Path Value=\"/p&amp;&lt;>&quot;\" />"));
    EXPECT_THAT(report, HasSubstr("ThreatName=\"x&#09;y\xef\xbf\xbdz\""));
    pugi::xml_document document;
    LoadReport(document, ReportPathFromOutput(result.output));
    const pugi::xml_node detection = Detections(document).at(0);
    EXPECT_STREQ(detection.attribute("ObjectPath").value(),
                 "/a \"q\" & <b> 'c'\xef\xbf\xbd\xc3\xa9\xe4\xb8\xad");
    EXPECT_STREQ(detection.attribute("ThreatName").value(), "x\ty\xef\xbf\xbdz");
    EXPECT_STREQ(detection.attribute("ScanAction").value(), "Disinfect");
}
