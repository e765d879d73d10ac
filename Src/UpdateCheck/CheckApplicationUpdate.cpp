#include "BuildSettings.h"
#include "ComponentsClient/ComponentLookup.h"
#include "DeployPlatform.h"
#include "Jobs.h"
#include "Logger.h"
#include "ProductInfo.h"

#include "ConsoleHelper/Console.h"
#include "FileSystemHelper/Text.h"
#include "MsiHelper/FourPartVersion.h"
#include "MsiHelper/Product.h"

#include <boost/algorithm/string/replace.hpp>

namespace CorvaneCommandLineScanner
{
namespace
{
const wchar_t* const componentId = L"CorvaneCommandLineScanner";
const wchar_t* const defaultDeployPlatform = L"prod";
// The program is a 64-bit build; the processor is not asked.
const wchar_t* const osPlatform = L"x64";

// The version of the installed product of this program, with all four parts; empty when the
// program is not registered as installed.
std::wstring InstalledVersion()
{
    const auto product = MsiHelper::Product::FindByName(componentId);
    if (!product)
        return {};
    return product->GetVersion().ToWideString();
}

// Download URLs may still name the maker's former domain; they are shown with the current one.
std::wstring WithCurrentDomain(const std::wstring& url)
{
    const std::wstring formerDomain =
        FileSystemHelper::ToWide(BuildSettings::FormerDomain(), FileSystemHelper::CodePageUtf8);
    const std::wstring currentDomain =
        FileSystemHelper::ToWide(BuildSettings::CurrentDomain(), FileSystemHelper::CodePageUtf8);
    if (formerDomain.empty())
        return url;
    return boost::algorithm::replace_all_copy(url, formerDomain, currentDomain);
}
} // namespace

void CheckApplicationUpdate()
{
    ConsoleHelper::Out() << "Checking for application update...\n";

    std::wstring deployPlatform = DeployPlatformFromFile();
    Log(L"Info", "deploy platform from file=", deployPlatform);
    if (deployPlatform.empty())
        deployPlatform = defaultDeployPlatform;

    ComponentsClient::ServerComponent component;
    if (!ComponentsClient::ComponentLookup::GetComponent(componentId, deployPlatform, osPlatform,
                                                         L"", L"", InstalledVersion(),
                                                         ThisMachine(), component))
    {
        ConsoleHelper::Out() << "Couldn't get server version info\n";
        return;
    }

    const MsiHelper::FourPartVersion server(component.Version);
    const MsiHelper::FourPartVersion own{std::string(ProductVersion)};
    if (server > own)
    {
        // The URL is the service's text: the formatted writer shows it printable, on one line.
        ConsoleHelper::Print(L"New version is available for downloading. Url: %s\n",
                             WithCurrentDomain(component.DownloadUrl).c_str());
        ConsoleHelper::WideOut().flush();
    }
    else
        ConsoleHelper::Out() << "You have the latest version\n";
}
} // namespace CorvaneCommandLineScanner
