#include "DefinitionsSet/DefinitionsSet.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace DefinitionsSet
{
namespace
{
// The kinds of file the engine's loader reads; given any other file, libclamav would read it as
// definitions of its oldest format.
const char* const Kinds[] = {".db",  ".hdb",  ".hdu",  ".hsb", ".hsu",  ".fp",  ".sfp", ".mdb",
                             ".mdu", ".msb",  ".msu",  ".ndb", ".ndu",  ".ldb", ".ldu", ".sdb",
                             ".zmd", ".rmd",  ".pdb",  ".gdb", ".wdb",  ".cbc", ".ftm", ".cfg",
                             ".cvd", ".cld",  ".cud",  ".cdb", ".cat",  ".crb", ".idb", ".ioc",
                             ".yar", ".yara", ".pwdb", ".ign", ".ign2", ".imp"};

bool EndsWithIgnoringCase(const std::string& name, const std::string& end)
{
    if (name.size() <= end.size())
        return false;
    return std::equal(end.begin(), end.end(), name.end() - static_cast<std::ptrdiff_t>(end.size()),
                      [](char a, char b)
                      {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

bool IsIgnoreList(const std::string& name)
{
    return EndsWithIgnoringCase(name, ".ign") || EndsWithIgnoringCase(name, ".ign2");
}
} // namespace

bool IsDefinitionsFile(const std::string& name)
{
    return std::any_of(std::begin(Kinds), std::end(Kinds),
                       [&](const char* kind) { return EndsWithIgnoringCase(name, kind); });
}

std::vector<std::string> LoadOrder(std::vector<std::string> names)
{
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return !IsDefinitionsFile(name); }),
                names.end());
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b)
              {
                  const bool aFirst = IsIgnoreList(a);
                  const bool bFirst = IsIgnoreList(b);
                  return aFirst != bFirst ? aFirst : a < b;
              });
    return names;
}

std::string DatabaseName::FileName() const
{
    return database + (form == DatabaseForm::Signed ? ".cvd" : ".cld");
}

const std::vector<std::string>& OfficialDatabases()
{
    static const std::vector<std::string> names = {"main", "daily", "bytecode"};
    return names;
}

std::optional<DatabaseName> ParseDatabaseName(const std::string& fileName)
{
    for (const std::string& database : OfficialDatabases())
    {
        if (fileName == database + ".cvd")
            return DatabaseName{database, DatabaseForm::Signed};
        if (fileName == database + ".cld")
            return DatabaseName{database, DatabaseForm::Patched};
    }
    return std::nullopt;
}
} // namespace DefinitionsSet
