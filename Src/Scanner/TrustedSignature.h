#pragma once

#include <string>

namespace CorvaneCommandLineScanner
{
// True only for a file whose embedded signature verifies and whose signer is one of the
// accepted publishers. Never throws: any error counts as not trusted.
bool HasTrustedSignature(const std::wstring& path);
} // namespace CorvaneCommandLineScanner
