// The version line of Plugins/update.txt, read by the program (--definitions-info) and by the
// shipped engine (the database version it reports).
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
    return 0;
}
