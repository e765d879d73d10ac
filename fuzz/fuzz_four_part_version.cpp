// FourPartVersion: the installed version and the components service's version text.
// Invariants: the narrow and the wide reading of ASCII text agree; a parsed version prints back
// as four numbers that read back to the same version; the parts read back what built them.
#include "FuzzSupport.h"

#include "MsiHelper/FourPartVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using MsiHelper::FourPartVersion;
    const std::string text = CorvaneFuzz::Bytes(data, size);
    const FourPartVersion narrow(text);
    const std::string printed = narrow.ToString();
    CORVANE_FUZZ_CHECK(FourPartVersion(printed) == narrow,
                       CorvaneFuzz::Escaped(text) + " printed as " + printed);
    CORVANE_FUZZ_CHECK(FourPartVersion(narrow.ToWideString()) == narrow, printed);
    CORVANE_FUZZ_CHECK(FourPartVersion(narrow.Major(), narrow.Minor(), narrow.Build(),
                                       narrow.Revision()) == narrow,
                       printed);

    bool ascii = true;
    for (const char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii)
    {
        const FourPartVersion wide(std::wstring(text.begin(), text.end()));
        CORVANE_FUZZ_CHECK(wide == narrow, CorvaneFuzz::Escaped(text) + ": narrow " + printed +
                                               ", wide " + wide.ToString());
    }

    // Ordering is the order of the packed value.
    CorvaneFuzz::Input input(data, size);
    const FourPartVersion other(input.Piece());
    CORVANE_FUZZ_CHECK((narrow < other) == (narrow.Value() < other.Value()), printed);
    return 0;
}
