#include "TrustedSignature.h"

#include "DigitalSignatureHelper/Signature.h"

#include <boost/exception/exception.hpp>
#include <exception>
#include <locale>
#include <optional>

namespace CorvaneCommandLineScanner
{
namespace
{
// The publishers whose files are never reported, in lower case.
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
        std::wstring& name = *verified;
        // Letter case follows the user's locale, which the entry point made the global one.
        std::use_facet<std::ctype<wchar_t>>(std::locale())
            .tolower(name.data(), name.data() + name.size());
        for (const wchar_t* publisher : trustedPublishers)
        {
            if (name == publisher)
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
