#include "CommandLineOptions.h"

#include "ProcessHelper/Process.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/program_options.hpp>
#include <sstream>

namespace po = boost::program_options;

namespace CorvaneCommandLineScanner
{
namespace
{
po::options_description Description()
{
    po::options_description description("Allowed options", 80, 40);
    // clang-format off
    description.add_options()
        ("help", "Print help")
        ("updatedefs", "Update definitions")
        ("quick", "Run quick scan")
        ("full", "Run full scan")
        ("custom", po::wvalue<std::wstring>()->value_name("<file or folder>"),
            "e.g. --custom \"c:\\folder name\" or \"c:\\folder name\\file name.ext\"")
        ("boot", "Run boot scan")
        ("quarantine", "Quarantine infected files")
        ("delete", "Delete infected files")
        ("disinfect", "Disinfect infected files")
        ("product-info", "Print product information")
        ("definitions-info", "Print definitions information")
        ("scan-result", po::wvalue<std::wstring>()->value_name("<path>"),
            "e.g. --scan-result \"c:\\folder\\filename\"")
        ("updateapp", "Check application update")
        ("scan-result-stdout", "Print scan result to standard output")
        ("scan-archives", "Scan archives");
    // clang-format on
    return description;
}

// Boost fills in a parse error's message by replacing placeholders such as %canonical_option%
// until none is left, so an argument that itself spells a placeholder would never let that end.
// The texts to fill in are reached through a derived class, and their percent signs stand aside
// while the message is made.
class ErrorTexts : po::error_with_option_name
{
public:
    static std::string Message(po::error_with_option_name& error)
    {
        static const std::string percent = "%", standIn = "\x01%\x02";
        auto& texts = error.*(&ErrorTexts::m_substitutions);
        for (auto& text : texts)
            boost::algorithm::replace_all(text.second, percent, standIn);
        std::string message = error.what();
        boost::algorithm::replace_all(message, standIn, percent);
        return message;
    }
};
} // namespace

CommandLineOptions::CommandLineOptions() : CommandLineOptions(ProcessHelper::CommandLineArguments())
{
}

CommandLineOptions::CommandLineOptions(const std::vector<std::wstring>& tokens)
{
    const po::options_description description = Description();
    std::ostringstream help;
    help << description;
    helpText = help.str();

    try
    {
        // Every token but the program path is offered to the parser; tokens that are neither
        // options nor values are positional, and with none declared they are dropped.
        const std::vector<std::wstring> arguments(
            tokens.empty() ? tokens.begin() : tokens.begin() + 1, tokens.end());
        po::store(po::wcommand_line_parser(arguments).options(description).run(), options);
        po::notify(options);
    }
    catch (po::error_with_option_name& e)
    {
        throw InvalidCommandLine(ErrorTexts::Message(e), helpText);
    }
    catch (const std::exception& e)
    {
        throw InvalidCommandLine(e.what(), helpText);
    }
}

ThreatScanner::Action CommandLineOptions::Action() const
{
    if (Has("quarantine"))
        return ThreatScanner::ActionQuarMove;
    if (Has("delete"))
        return ThreatScanner::ActionDelete;
    if (Has("disinfect"))
        return ThreatScanner::ActionDisinfect;
    return ThreatScanner::ActionNone;
}

std::vector<std::wstring> CommandLineOptions::CustomPaths() const
{
    std::vector<std::wstring> paths;
    if (!Has("custom"))
        return paths;
    const std::wstring value = options["custom"].as<std::wstring>();
    if (value.empty())
        return paths;
    boost::algorithm::split(paths, value, boost::algorithm::is_any_of(L";"));
    const std::locale locale;
    for (std::wstring& path : paths)
        boost::algorithm::trim(path, locale);
    return paths;
}

std::wstring CommandLineOptions::ScanResultPath() const
{
    if (!Has("scan-result"))
        return {};
    return options["scan-result"].as<std::wstring>();
}
} // namespace CorvaneCommandLineScanner
