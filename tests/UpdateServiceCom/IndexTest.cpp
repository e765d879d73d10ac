#include "Index.h"
#include "Failure.h"

#include <gtest/gtest.h>
#include <string>

using namespace UpdateServiceCom;

namespace
{
const std::string Digest(64, 'a');

std::string WithFile(const std::string& fileEntry, const std::string& rest = "")
{
    return R"({"format": 1, "version": "7.1", "sequence": 3, "files": [)" + fileEntry + "]" + rest +
           "}";
}

std::string Entry(const std::string& name, const std::string& size = "10",
                  const std::string& digest = Digest)
{
    std::string escaped;
    for (char c : name)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return R"({"name": ")" + escaped + R"(", "size": )" + size + R"(, "sha256": ")" + digest +
           R"("})";
}

Result Refusal(const std::string& text)
{
    try
    {
        ParseIndex(text);
    }
    catch (const Failure& failure)
    {
        return failure.Code();
    }
    return Ok;
}
} // namespace

TEST(DefinitionsIndexTest, ReadsVersionSequenceAndFiles)
{
    const Index index = ParseIndex(
        WithFile(Entry("main.ndb") + "," + Entry("extra.hdb", "0"), R"(, "published": "ignored")"));
    EXPECT_EQ(index.version, "7.1");
    EXPECT_EQ(index.sequence, 3u);
    ASSERT_EQ(index.files.size(), 2u);
    EXPECT_EQ(index.files[0].name, "main.ndb");
    EXPECT_EQ(index.files[0].size, 10u);
    EXPECT_EQ(index.files[0].sha256, Digest);
    EXPECT_EQ(index.files[1].size, 0u);
}

TEST(DefinitionsIndexTest, RefusesMalformedIndexes)
{
    const char* cases[] = {
        "",
        "not json",
        "[1, 2]",
        R"({"format": 2, "version": "1", "sequence": 1, "files": []})",
        R"({"format": 1, "sequence": 1, "files": []})",
        R"({"format": 1, "version": "1", "files": []})",
        R"({"format": 1, "version": "1", "sequence": -1, "files": []})",
        R"({"format": 1, "version": "1", "sequence": 1, "files": {}})",
        R"({"format": 1, "version": "1", "sequence": 1, "files": []})",
        R"({"format": 1, "version": "", "sequence": 1, "files": [1]})",
        R"({"format": 1, "version": "1\n2", "sequence": 1, "files": [1]})",
        R"({"format": 1, "version": "1", "sequence": 1.5, "files": [1]})",
    };
    for (const char* text : cases)
        EXPECT_EQ(Refusal(text), IndexMalformed) << text;

    const std::string entries[] = {
        "1",
        Entry("a.ndb", "-1"),
        Entry("a.ndb", "1.5"),
        Entry("a.ndb", "\"10\""),
        Entry("a.ndb", "10", std::string(64, 'A')), // digests are lower case
        Entry("a.ndb", "10", std::string(63, 'a')),
        Entry("a.ndb", "10", std::string(63, 'a') + "g"),
        Entry("a.ndb", "99999999999"),
        Entry(""),
        Entry("a.ndb") + "," + Entry("A.NDB"), // one file on a case-blind file system
        R"({"name": "a.ndb", "size": 1})",
    };
    for (const std::string& entry : entries)
        EXPECT_EQ(Refusal(WithFile(entry)), IndexMalformed) << entry;
}

TEST(DefinitionsIndexTest, RefusesNamesThatLeaveTheFolderOrClashWithItsOwnFiles)
{
    const std::string names[] = {
        "..",       "../up.ndb",  "/etc/passwd",     "sub/inner.ndb",      "..\\up.ndb", "C:x.ndb",
        ".hidden",  "trailing.",  "update.txt",      "INDEX.json",         "con",        "nul.ndb",
        "com1.hdb", "space .ndb", "caf\xc3\xa9.ndb", std::string(101, 'a')};
    for (const std::string& name : names)
    {
        EXPECT_FALSE(IsSafeFileName(name)) << name;
        EXPECT_EQ(Refusal(WithFile(Entry(name))), IndexUnsafePath) << name;
    }
    for (const char* name : {"main.cvd", "daily-2024_06.ndb", "a", "console.ndb", "com10.hdb"})
        EXPECT_TRUE(IsSafeFileName(name)) << name;
}
