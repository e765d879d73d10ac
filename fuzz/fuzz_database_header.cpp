// The header of an official signature database, as a mirror or a local folder offers it (the
// update library reads it before it fetches the rest), and a database's file name.
// Invariants: a header that reads is read the same way from a file; a name that stands for a
// database gives that name back.
#include "FuzzSupport.h"

#include "DefinitionsSet/DefinitionsSet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes = CorvaneFuzz::Bytes(data, size);
    const auto header = DefinitionsSet::ParseDatabaseHeader(bytes);
    const boost::filesystem::path file =
        CorvaneFuzz::WriteFile(CorvaneFuzz::ScratchFolder() / "daily.cvd", bytes);
    const auto read = DefinitionsSet::ReadDatabaseHeader(file.string());
    CORVANE_FUZZ_CHECK(header.has_value() == read.has_value(), CorvaneFuzz::Escaped(bytes));
    if (header && read)
        CORVANE_FUZZ_CHECK(header->version == read->version &&
                               header->buildTime == read->buildTime,
                           CorvaneFuzz::Escaped(bytes));

    const std::string name = bytes.substr(0, 64);
    if (const auto database = DefinitionsSet::ParseDatabaseName(name))
        CORVANE_FUZZ_CHECK(database->FileName() == name, CorvaneFuzz::Escaped(name));
    return 0;
}
