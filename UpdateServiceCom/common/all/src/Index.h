#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace UpdateServiceCom
{
// One definitions file of a release.
struct IndexFile
{
    std::string name; // a plain file name, checked safe to join to the definitions folder
    std::uint64_t size = 0;
    std::string sha256; // 64 lower-case hex digits
};

// A release: its version, its place in the order of releases, and its files.
//   {"format": 1, "version": "2024.06.1", "sequence": 17,
//    "files": [{"name": "daily.ndb", "size": 1234, "sha256": "<64 hex digits>"}, ...]}
struct Index
{
    std::string version;
    std::uint64_t sequence = 0;
    std::vector<IndexFile> files;
};

// Names the library writes into the definitions folder itself; no release may use them.
inline constexpr const char* VersionFileName = "update.txt";
inline constexpr const char* IndexFileName = "index.json";

// Reads an index; throws Failure with IndexMalformed or IndexUnsafePath.
Index ParseIndex(const std::string& text);

// The text of an index, as ParseIndex reads it.
std::string WriteIndex(const Index& index);

// True when name is a plain file name that is safe to create in a folder on any platform.
bool IsSafeFileName(const std::string& name);
} // namespace UpdateServiceCom
