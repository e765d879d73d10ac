#include "TrustedSignature.h"

#include <cstddef>
#include <exception>
#include <locale>

namespace CorvaneCommandLineScanner
{
namespace
{
// The publishers whose files are never reported, in lower case.
const wchar_t* const trustedPublishers[] = {L"tellmark limited", L"corvane software"};
} // namespace

bool HasTrustedSignature(const _ScanCbkParams& params)
{
    // A record that ends before the signer field comes from an engine that checks nothing.
    if (params.size < offsetof(_ScanCbkParams, verifiedSigner) + sizeof params.verifiedSigner ||
        !params.verifiedSigner)
        return false;
    try
    {
        return IsTrustedPublisher(params.verifiedSigner);
    }
    catch (const std::exception&)
    {
        return false;
    }
}

bool IsTrustedPublisher(std::wstring signer)
{
    // Letter case follows the user's locale, which the entry point made the global one.
    std::use_facet<std::ctype<wchar_t>>(std::locale())
        .tolower(signer.data(), signer.data() + signer.size());
    for (const wchar_t* publisher : trustedPublishers)
    {
        if (signer == publisher)
            return true;
    }
    return false;
}
} // namespace CorvaneCommandLineScanner
