// Throughput of the scan callback and the report: the scripted engine reports N objects (1% of
// them detections, each followed by its outcome) without any scanning work, in one custom scan
// whose report goes to a file. Prints objects per second and the peak memory of the scanner.
#include "Installation.h"
#include "ScriptedEngine.h"

#include <boost/json.hpp>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <sys/resource.h>

int main(int argc, char** argv)
{
    const long count = argc > 1 ? std::atol(argv[1]) : 100000;
    const long infectedEvery = 100;

    CorvaneTest::Installation installation;
    boost::json::object generate{
        {"count", count}, {"infectedEvery", infectedEvery}, {"pathPrefix", "/bench/object-"}};
    boost::json::object scan{{"export", "ScanPath"}, {"generate", generate}};
    boost::json::object script{{"recordCallbacks", false}, {"scans", boost::json::array{scan}}};
    CorvaneTest::ScriptedEngine::Install(installation, script);

    const auto report = installation.Folder() / "report.xml";
    const auto start = std::chrono::steady_clock::now();
    const auto result =
        installation.Run({"--custom", "/bench", "--quarantine", "--scan-result", report.string()});
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    rusage usage = {};
    ::getrusage(RUSAGE_CHILDREN, &usage);

    const std::string content = CorvaneTest::ReadFile(report);
    long detections = 0;
    for (std::size_t at = content.find("<InfectedObject "); at != std::string::npos;
         at = content.find("<InfectedObject ", at + 1))
        ++detections;
    const long expected = infectedEvery > 0 ? (count + infectedEvery - 1) / infectedEvery : 0;

    std::cout << "objects:            " << count << "\n"
              << "detections:         " << detections << " (expected " << expected << ")\n"
              << "console output:     " << result.output.size() << " bytes\n"
              << "report:             " << content.size() << " bytes\n"
              << "elapsed:            " << elapsed.count() << " s\n"
              << "objects per second: " << static_cast<long>(count / elapsed.count()) << "\n"
              << "peak memory:        " << usage.ru_maxrss << " KiB\n";
    return detections == expected && result.exitCode == 0 ? 0 : 1;
}
