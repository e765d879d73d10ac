// The command-line parser fed arbitrary argument vectors (NUL-separated bytes, as the kernel
// hands them over), and the scan request built from the options.
// Invariants: an option is only set when a token names it (a prefix of its name after "--");
// the result path and every custom path are bytes of the command line, unchanged, also where
// they are not UTF-8.
#include "FuzzSupport.h"

#include "Application.h"
#include "CommandLineOptions.h"

#include "FileSystemHelper/Text.h"

namespace
{
using CorvaneCommandLineScanner::CommandLineOptions;

// True when a token spells the option: "--" and a non-empty prefix of its name, then the end
// or "=".
bool Named(const std::vector<std::string>& tokens, const std::string& name)
{
    for (const std::string& token : tokens)
    {
        if (token.rfind("--", 0) != 0)
            continue;
        const std::string spelled = token.substr(2, token.find('=') - 2);
        if (!spelled.empty() && name.rfind(spelled, 0) == 0)
            return true;
    }
    return false;
}

bool InCommandLine(const std::vector<std::string>& tokens, const std::string& bytes)
{
    for (const std::string& token : tokens)
    {
        if (token.find(bytes) != std::string::npos)
            return true;
    }
    return false;
}

std::string Narrow(const std::wstring& text)
{
    return FileSystemHelper::PathFromWide(text).string();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CorvaneFuzz::Input input(data, size);
    std::vector<std::string> tokens;
    std::vector<std::wstring> wideTokens{L"/opt/corvane/CorvaneCommandLineScanner"};
    while (!input.Empty() && tokens.size() < 64)
    {
        tokens.push_back(input.Piece());
        // Arguments are file-system bytes: the same conversion as any path.
        wideTokens.push_back(FileSystemHelper::WidePath(tokens.back()));
    }

    std::unique_ptr<CommandLineOptions> parsed;
    try
    {
        parsed = std::make_unique<CommandLineOptions>(wideTokens);
    }
    catch (const CorvaneCommandLineScanner::InvalidCommandLine& error)
    {
        CORVANE_FUZZ_CHECK(!error.HelpText().empty(), error.Message());
        return 0;
    }
    const CommandLineOptions& options = *parsed;
    const auto request = CorvaneCommandLineScanner::BuildScanRequest(options);

    const std::pair<bool, const char*> flags[] = {
        {options.Help(), "help"},
        {options.UpdateDefs(), "updatedefs"},
        {options.Quick(), "quick"},
        {options.Full(), "full"},
        {options.Custom(), "custom"},
        {options.Boot(), "boot"},
        {options.ProductInfo(), "product-info"},
        {options.DefinitionsInfo(), "definitions-info"},
        {options.UpdateApp(), "updateapp"},
        {options.ScanResultStdout(), "scan-result-stdout"},
        {options.ScanArchives(), "scan-archives"},
        {options.Action() == 7, "quarantine"},
        {options.Action() == 5, "delete"},
        {options.Action() == 3, "disinfect"},
        {!options.ScanResultPath().empty(), "scan-result"},
    };
    for (const auto& [set, name] : flags)
        CORVANE_FUZZ_CHECK(!set || Named(tokens, name), name);

    if (!request.resultPath.empty())
        CORVANE_FUZZ_CHECK(InCommandLine(tokens, Narrow(request.resultPath)),
                           CorvaneFuzz::Escaped(request.resultPath));
    for (const std::wstring& path : request.paths)
        CORVANE_FUZZ_CHECK(InCommandLine(tokens, Narrow(path)), CorvaneFuzz::Escaped(path));
    return 0;
}
