#pragma once

#include "DigitalSignatureHelper/Signature.h"
#include "ExceptionHelper/Exception.h"

#include <boost/filesystem/path.hpp>
#include <string>

namespace CorvaneTest
{
// The signer's display name of a signed file.
inline std::wstring SignerName(const boost::filesystem::path& path)
{
    using DigitalSignatureHelper::Signature;
    return Signature::CertificateName(path, Signature::SubjectSimpleDisplayName);
}

// The message of the ExceptionHelper::Exception that CertificateName throws, or a note that it
// returned or threw something else.
inline std::string SignerNameFailure(const boost::filesystem::path& path)
{
    try
    {
        SignerName(path);
        return "no error";
    }
    catch (const ExceptionHelper::Exception& error)
    {
        return error.what();
    }
    catch (...)
    {
        return "another error";
    }
}
} // namespace CorvaneTest
