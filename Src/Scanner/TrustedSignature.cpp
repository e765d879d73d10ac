#include "TrustedSignature.h"

#include "DigitalSignatureHelper/Signature.h"

#include <cstddef>
#include <exception>

namespace CorvaneCommandLineScanner
{
namespace
{
// The publishers whose files are never reported; letter case does not matter.
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
    // Letter case is compared character by character, the same in every user's locale.
    for (const wchar_t* publisher : trustedPublishers)
    {
        if (DigitalSignatureHelper::Signature::SameNameIgnoringCase(signer, publisher))
            return true;
    }
    return false;
}
} // namespace CorvaneCommandLineScanner
