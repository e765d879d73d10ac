#pragma once

#include "ThreatScanner/ThreatScanner.h"

#include <string>

namespace CorvaneCommandLineScanner
{
// True only for a detection whose engine verified the embedded signature of the very file it
// scanned and named one of the accepted publishers as its signer. The path is never opened
// again: what it names now may be another file. Never throws: any doubt counts as not trusted.
bool HasTrustedSignature(const _ScanCbkParams& params);

// Whether a verified signer's name is one of the accepted publishers' in any case of its ASCII
// letters, in every locale alike; the whole name must match, every other character exactly.
bool IsTrustedPublisher(std::wstring signer);
} // namespace CorvaneCommandLineScanner
