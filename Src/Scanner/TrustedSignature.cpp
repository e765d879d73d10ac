#include "TrustedSignature.h"

#include "DigitalSignatureHelper/Signature.h"

#include <boost/exception/exception.hpp>
#include <exception>
#include <optional>

namespace CorvaneCommandLineScanner
{
namespace
{
// The publishers whose files are never reported; letter case does not matter.
const wchar_t* const trustedPublishers[] = {L"tellmark limited", L"corvane software"};
} // namespace

bool HasTrustedSignature(const std::wstring& path)
{
    using DigitalSignatureHelper::Signature;
    try
    {
        // Verified and named from one opening of the file.
        std::optional<std::wstring> verified =
            Signature::VerifiedCertificateName(path, Signature::SubjectSimpleDisplayName);
        if (!verified)
            return false;
        for (const wchar_t* publisher : trustedPublishers)
        {
            if (Signature::SameNameIgnoringCase(*verified, publisher))
                return true;
        }
        return false;
    }
    catch (const boost::exception&)
    {
        return false;
    }
    catch (const std::exception&)
    {
        return false;
    }
}
} // namespace CorvaneCommandLineScanner
