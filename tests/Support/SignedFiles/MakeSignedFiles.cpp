// Makes the signed programs of the signature tests on the build machine, for every platform's
// tests alike: MakeSignedFiles <osslsigncode> <unsigned program> <output folder>.
//
// The output folder receives root.pem and root.cer (the test root, PEM and DER),
// other-root.pem and other-root.cer (a root the tests do not trust), tellmark.pem and
// tellmark.key (the credentials of "tellmark.exe"), one <name>.exe per case below, an empty
// folder "no-roots", and last the file "complete". Times are relative to when this runs: the
// expired certificate expired a day before, the time stamps vouch for the day before or the minute
// before.
#include "CodeSigning.h"
#include "PeLayout.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>

namespace fs = std::filesystem;
using namespace CorvaneTest;

namespace
{
// The 64-bit test program rewritten with a 32-bit (PE32) optional header: the same fields, the
// narrower ones shortened, and the section table moved up behind it.
std::string AsPe32(const std::string& image)
{
    const PeLayout layout(image);
    const std::size_t plus = layout.optionalHeader;
    std::string header = image.substr(plus, 24); // magic to entry point
    Write16(header, 0, 0x10B);
    header += image.substr(plus + 24, 4) + image.substr(plus + 24, 4); // base of data, image base
    header += image.substr(plus + 32, 40);                             // alignment to dll flags
    for (std::size_t field = 0; field < 4; ++field)                    // stack and heap sizes
        header += image.substr(plus + 72 + 8 * field, 4);
    header += image.substr(plus + 104, 8 + 16 * 8); // loader flags, count, directories
    const std::uint16_t sections = Read16(image, layout.pe + 6);
    header += image.substr(layout.firstSection, 40u * sections);

    std::string result = image;
    result.replace(plus, header.size(), header);
    std::fill(result.begin() + static_cast<std::ptrdiff_t>(plus + header.size()),
              result.begin() + static_cast<std::ptrdiff_t>(layout.firstSection + 40u * sections),
              0);
    Write16(result, layout.pe + 20, 224);
    return result;
}

CertificateRequest Subject(std::vector<std::pair<std::string, std::string>> subject)
{
    CertificateRequest request;
    request.subject = std::move(subject);
    return request;
}

void MakeSignedFiles(const fs::path& osslsigncode, const fs::path& unsignedProgram,
                     const fs::path& output)
{
    const fs::path work = output / "work";
    fs::remove_all(output);
    fs::create_directories(work);
    CodeSigningLab lab(work, osslsigncode);
    const auto keep = [&](const std::string& name, const fs::path& made)
    { fs::copy_file(made, output / (name + ".exe")); };
    const auto sign = [&](const Credentials& signer, const std::string& digest = "sha256")
    { return lab.Sign(unsignedProgram, signer, digest); };
    const auto signedBy = [&](const std::string& commonName) {
        return sign(lab.Issue(Subject({{"CN", commonName}})));
    };

    // Publishers of the trusted root, by name.
    const Credentials tellmark =
        lab.Issue(Subject({{"C", "DE"}, {"O", "Tellmark"}, {"CN", "Tellmark Limited"}}));
    keep("tellmark", sign(tellmark));
    keep("tellmark-sha1", sign(tellmark, "sha1"));
    keep("international", signedBy("Corvan\xC3\xA9 S\xC3\xB8\x66tware \xE2\x9C\x93"));
    keep("corvane", signedBy("Corvane Software"));
    for (const auto& [name, commonName] : std::vector<std::pair<std::string, std::string>>{
             {"tellmark-mixed", "TELLMARK limited"},
             {"corvane-lower", "corvane software"},
             {"corvane-upper", "Corvane SOFTWARE"},
             {"other-publisher", "Other Publisher"},
             {"tellmark-holdings", "Tellmark Limited Holdings"},
             {"tellmark-word", "Tellmark"},
             {"corvane-word", "Corvane"},
             {"corvane-leading-space", " corvane software"},
             {"corvane-trailing-dot", "corvane software."},
             {"tellmark-nul", std::string("Tellmark Limited\0", 17)}})
        keep(name, signedBy(commonName));
    keep("team",
         sign(lab.Issue(Subject({{"O", "Tellmark Limited"}, {"CN", "Code Signing Team"}}))));
    const fs::path pe32 = work / "pe32-unsigned.exe";
    WriteBinaryFile(pe32, AsPe32(ReadFile(unsignedProgram)));
    keep("pe32", lab.Sign(pe32, lab.Issue(Subject({{"CN", "Corvane Software"}}))));

    // The subject's simple display name: the common name, else the first organizational unit,
    // organization or e-mail address, else an alternative e-mail name, else the first attribute.
    const struct
    {
        const char* name;
        std::vector<std::pair<std::string, std::string>> subject;
        const char* alternativeNames;
    } displayNames[] = {
        {"name-common", {{"O", "Org"}, {"OU", "Unit"}, {"CN", "Common"}}, ""},
        {"name-unit", {{"C", "DE"}, {"O", "Org"}, {"OU", "Unit"}}, ""},
        {"name-organization", {{"C", "DE"}, {"O", "Corvane Software"}, {"O", "Second"}}, ""},
        {"organization", {{"C", "DE"}, {"O", "Corvane Software"}}, ""},
        {"name-email",
         {{"C", "DE"}, {"emailAddress", "sign@example.org"}},
         "email:other@example.org"},
        {"name-alternative-email",
         {{"C", "DE"}, {"L", "Town"}},
         "DNS:example.org,email:alt@example.org"},
        {"name-locality", {{"L", "Town"}, {"C", "DE"}}, ""},
        {"name-empty", {}, ""},
        {"name-nul", {{"CN", std::string("Tellmark Limited\0.example", 25)}}, ""},
    };
    for (const auto& test : displayNames)
    {
        CertificateRequest request = Subject(test.subject);
        request.alternativeNames = test.alternativeNames;
        keep(test.name, sign(lab.Issue(request)));
    }

    // Signers outside the trusted code-signing chain.
    const Credentials otherRoot = lab.CreateRoot("Other Test Root");
    keep("foreign", sign(lab.Issue(Subject({{"CN", "Tellmark Limited"}}), otherRoot)));
    keep("tellmark-self-rooted", sign(lab.Issue(Subject({{"CN", "Tellmark Limited"}}),
                                                lab.CreateRoot("Tellmark Limited"))));
    CertificateRequest serverOnly = Subject({{"CN", "Tellmark Limited"}});
    serverOnly.extendedKeyUsage = "serverAuth";
    keep("server-only", sign(lab.Issue(serverOnly)));
    CertificateRequest notYetValid = Subject({{"CN", "Tellmark Limited"}});
    notYetValid.validFromDays = 3000;
    keep("not-yet-valid", sign(lab.Issue(notYetValid)));
    CertificateRequest anyUsage = Subject({{"CN", "Tellmark Limited"}});
    anyUsage.extendedKeyUsage.clear();
    keep("any-usage", sign(lab.Issue(anyUsage)));

    // Intermediate authorities, which only the signature brings.
    CertificateRequest authority = Subject({{"CN", "Corvane Test Intermediate"}});
    authority.extendedKeyUsage.clear();
    authority.certificateAuthority = true;
    const Credentials intermediate = lab.Issue(authority);
    const Credentials intermediatePublisher =
        lab.Issue(Subject({{"CN", "Corvane Software"}}), intermediate);
    keep("intermediate",
         lab.Sign(unsignedProgram, intermediatePublisher, "sha256", {intermediate}));
    keep("intermediate-missing", sign(intermediatePublisher));
    authority.extendedKeyUsage = "emailProtection";
    const Credentials mailAuthority = lab.Issue(authority);
    keep("intermediate-mail-only",
         lab.Sign(unsignedProgram, lab.Issue(Subject({{"CN", "Corvane Software"}}), mailAuthority),
                  "sha256", {mailAuthority}));

    // Time stamps, RFC 3161 tokens and counter-signatures, on an expired certificate and a
    // current one.
    const std::time_t now = std::time(nullptr);
    const std::time_t yesterday = now - 36 * 3600;
    CertificateRequest expiredRequest = Subject({{"CN", "Tellmark Limited"}});
    expiredRequest.validFromDays = -2;
    expiredRequest.validUntilDays = -1;
    const Credentials expired = lab.Issue(expiredRequest);
    const Credentials current = lab.Issue(Subject({{"CN", "Tellmark Limited"}}));
    const Credentials timeStamps = lab.IssueTimeStampingAuthority(lab.Root());
    const Credentials foreignTimeStamps = lab.IssueTimeStampingAuthority(otherRoot);
    CertificateRequest codeSigner = Subject({{"CN", "Corvane Test Time Stamps"}});
    codeSigner.validFromDays = -30;
    const Credentials notAnAuthority = lab.Issue(codeSigner);
    const auto stamped =
        [&](const Credentials& signer, const TimeStamp& stamp, const std::string& digest = "sha256")
    { return lab.Sign(unsignedProgram, signer, digest, {}, stamp); };

    const fs::path unstamped = sign(expired);
    const fs::path valid = stamped(expired, {timeStamps, yesterday});
    const fs::path counterSigned = lab.CounterSign(unstamped, {timeStamps, yesterday});
    keep("expired", unstamped);
    keep("stamped-while-valid", valid);
    keep("stamped-while-valid-sha1", stamped(expired, {timeStamps, yesterday}, "sha1"));
    keep("counter-signed-while-valid", counterSigned);
    keep("stamped-current", stamped(current, {timeStamps, now - 60}));
    keep("stamped-after-expiry", stamped(expired, {timeStamps, now - 60}));
    keep("stamped-before-validity", stamped(expired, {timeStamps, now - 3 * 86400}));
    keep("counter-signed-after-expiry", lab.CounterSign(unstamped, {timeStamps, now - 60}));
    keep("stamped-by-untrusted-authority", stamped(expired, {foreignTimeStamps, yesterday}));
    keep("counter-signed-by-untrusted-authority",
         lab.CounterSign(unstamped, {foreignTimeStamps, yesterday}));
    keep("counter-signed-without-time-stamping-usage",
         lab.CounterSign(unstamped, {notAnAuthority, yesterday}));
    keep("stamp-moved-onto-own-signature", lab.MoveTimeStamps(valid, valid));
    keep("counter-signature-moved-onto-own-signature",
         lab.MoveTimeStamps(counterSigned, counterSigned));
    // RSA signatures of the same bytes are the same: another signature needs other bytes.
    const fs::path another = sign(expired, "sha1");
    keep("stamp-of-another-signature", lab.MoveTimeStamps(valid, another));
    keep("counter-signature-of-another-signature", lab.MoveTimeStamps(counterSigned, another));
    keep("foreign-stamp-on-current-certificate", lab.MoveTimeStamps(valid, sign(current)));
    keep("two-stamps", lab.CounterSign(valid, {timeStamps, yesterday}));

    // The roots, and the credentials of one publisher for tests that sign files of their own.
    for (const auto& [name, root] : {std::pair{"root", lab.Root()}, {"other-root", otherRoot}})
    {
        fs::copy_file(root.certificate, output / (std::string(name) + ".pem"));
        WriteBinaryFile(output / (std::string(name) + ".cer"), CertificateDer(root.certificate));
    }
    fs::copy_file(tellmark.certificate, output / "tellmark.pem");
    fs::copy_file(tellmark.key, output / "tellmark.key");
    fs::remove_all(work);
    fs::create_directory(output / "no-roots"); // an empty folder of roots
    WriteBinaryFile(output / "complete", "");
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
    {
        std::fprintf(stderr, "usage: MakeSignedFiles <osslsigncode> <unsigned program> <output>\n");
        return 2;
    }
    try
    {
        MakeSignedFiles(argv[1], argv[2], argv[3]);
        return 0;
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "MakeSignedFiles: %s\n", error.what());
        return 1;
    }
}
