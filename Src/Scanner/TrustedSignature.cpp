#include "TrustedSignature.h"

#include <cstddef>
#include <exception>

namespace CorvaneCommandLineScanner
{
namespace
{
// The publishers whose files are never reported, in lower case; letter case does not matter.
const wchar_t* const trustedPublishers[] = {L"tellmark limited", L"corvane software"};

wchar_t AsciiLower(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Whether the signer's name is the trusted name but for the case of its letters. The trusted names
// are ASCII, so only ASCII letters have a case that matters: any other character matches only
// itself (a dotless or dotted I is no I), the same on every platform and in every locale.
bool IsTrustedName(const std::wstring& signer, const std::wstring& trusted)
{
    if (signer.size() != trusted.size())
        return false;
    for (std::size_t i = 0; i < signer.size(); ++i)
    {
        if (AsciiLower(signer[i]) != trusted[i])
            return false;
    }
    return true;
}
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
    for (const wchar_t* publisher : trustedPublishers)
    {
        if (IsTrustedName(signer, publisher))
            return true;
    }
    return false;
}
} // namespace CorvaneCommandLineScanner
