#include "TrustedSignature.h"

namespace CorvaneCommandLineScanner
{
// Signature verification is not wired up yet: nothing counts as trusted.
bool HasTrustedSignature(const std::wstring& /*path*/)
{
    return false;
}
} // namespace CorvaneCommandLineScanner
