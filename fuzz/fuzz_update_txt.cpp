// The version line of Plugins/update.txt, read by the program (--definitions-info) and by the
// shipped engine (the database version it reports).
// Also the official databases' lines that --definitions-info shows after the version.
// Invariant: a version the engine reads from a file is never missing from the program's view of
// the same file.
#include "FuzzSupport.h"

#include "Engine.h"
#include "Jobs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const boost::filesystem::path file = CorvaneFuzz::WriteFile(
        CorvaneFuzz::ScratchFolder() / "update.txt", CorvaneFuzz::Bytes(data, size));

    const std::string programVersion = CorvaneCommandLineScanner::DefinitionsVersionText(file);
    const ThreatScannerEngine::DatabaseInformation engine =
        ThreatScannerEngine::ReadUpdateInformation(file.string());

    CORVANE_FUZZ_CHECK(!engine.known || !programVersion.empty(),
                       "engine version " + std::to_string(engine.version));
    CORVANE_FUZZ_CHECK(programVersion.find('\n') == std::string::npos,
                       CorvaneFuzz::Escaped(programVersion));
    // The official databases' lines: at most one per database form, each one line.
    const auto databases = CorvaneCommandLineScanner::OfficialDatabaseLines(file);
    CORVANE_FUZZ_CHECK(databases.size() <= 3, std::to_string(databases.size()));
    for (const std::string& line : databases)
        CORVANE_FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos &&
                               line.rfind("Official database: ", 0) == 0,
                           CorvaneFuzz::Escaped(line));
    return 0;
}
