#pragma once

// Set-up shared by the two Authenticode targets: the signature checks trust only the fuzz data's
// own test root, and every check runs on a scratch copy of the input.

#include "FuzzSupport.h"

#include "DigitalSignatureHelper/Signature.h"

#include <boost/exception/exception.hpp>

namespace CorvaneFuzz
{
// Points OpenSSL's default trust at the test root of the fuzz data alone.
void TrustTestRoot();

// Both questions the scanner asks about a file: is the signature trusted, and whose is it.
// Returns the first answer.
bool CheckFile(const boost::filesystem::path& file);
} // namespace CorvaneFuzz
