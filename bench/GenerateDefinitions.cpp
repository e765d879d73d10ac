// Writes a synthetic definitions set of a real set's size and mix into a folder, for the
// benchmarks: 3,000,000 MD5 file hashes (bench.hdb), 1,500,000 SHA-256 file hashes (bench.hsb),
// 1,500,000 PE section hashes (bench.mdb), 150,000 body signatures (bench.ndb) and 30,000
// logical signatures (bench.ldb), about 405 MB of text. The output depends only on the scale:
// every run writes the same bytes.
//   GenerateDefinitions <folder> [scale]      (scale: a factor on every count, default 1)
//
// Body and logical patterns are random bytes with the wildcards real signatures use (single
// and nibble wildcards, bounded gaps, alternatives, an occasional unbounded gap), always with
// several fixed bytes around them. Each fixed part starts with a byte that begins common
// machine instructions, as signatures cut from code do. That is what keeps libclamav's matcher
// at its real speed: its trie branches on a part's first bytes, and a quarter of a million parts
// with uniformly random first bytes would fill all 65,536 second-level nodes, so that every
// byte of a random file became a cache miss, several times slower than with a real set.
// Nothing here matches a file the benchmark generates. Every value is drawn in its own statement,
// so that the order of the draws does not depend on how a compiler orders the operands of an
// expression.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace
{
// A fixed generator: std::mt19937_64 gives the same sequence everywhere, unlike the standard
// distributions, so the values are cut from its raw output.
struct Random
{
    std::mt19937_64 engine{0x436f7276616e65ull};
    std::uint64_t operator()() { return engine(); }
    // A value in [low, high].
    unsigned Between(unsigned low, unsigned high)
    {
        return low + static_cast<unsigned>(engine() % (high - low + 1));
    }
};

class Output
{
public:
    explicit Output(const std::string& path) : path(path), file(std::fopen(path.c_str(), "wb"))
    {
        if (!file)
        {
            std::perror(path.c_str());
            std::exit(1);
        }
    }
    ~Output()
    {
        if (std::fclose(file) != 0)
        {
            std::perror(path.c_str());
            std::exit(1);
        }
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void Line(const std::string& line)
    {
        if (std::fwrite(line.data(), 1, line.size(), file) != line.size() ||
            std::fputc('\n', file) == EOF)
        {
            std::perror(path.c_str());
            std::exit(1);
        }
        bytes += line.size() + 1;
    }

    std::uint64_t bytes = 0;

private:
    std::string path;
    std::FILE* file;
};

void Hex(Random& next, unsigned bytes, std::string& out)
{
    static const char digits[] = "0123456789abcdef";
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < bytes; ++i)
    {
        if (i % 8 == 0)
            bits = next();
        out += digits[(bits >> 4) & 15];
        out += digits[bits & 15];
        bits >>= 8;
    }
}

std::string Hex(Random& next, unsigned bytes)
{
    std::string out;
    Hex(next, bytes, out);
    return out;
}

// A file size as hash signatures carry it: mostly small files, some of megabytes.
unsigned FileSize(Random& next)
{
    return next() % 8 == 0 ? next.Between(65536, 8u << 20) : next.Between(512, 65535);
}

// A fixed part of a pattern: a byte that starts common x86 instructions (push, mov, call, jmp,
// lea, xor, a two-byte opcode, a REX prefix...), then random bytes; count bytes in all.
void Part(Random& next, unsigned count, std::string& out)
{
    static const char* const first[] = {"55", "8b", "e8", "ff", "83", "89", "6a", "68",
                                        "50", "51", "53", "56", "57", "33", "31", "c7",
                                        "8d", "48", "4c", "0f", "74", "75", "eb", "b8"};
    out += first[next() % (sizeof first / sizeof first[0])];
    Hex(next, count - 1, out);
}

// A body pattern: fixed bytes with one kind of wildcard in between, or none.
std::string BodyPattern(Random& next)
{
    std::string pattern;
    Part(next, next.Between(6, 12), pattern);
    switch (next() % 10)
    {
    case 0:
    case 1:
    case 2:
    case 3: // fixed bytes only
        Hex(next, next.Between(4, 20), pattern);
        break;
    case 4:
    case 5: // single-byte wildcards
        pattern += next() % 2 ? "??" : "????";
        Hex(next, next.Between(6, 12), pattern);
        break;
    case 6: // a bounded gap
    {
        const unsigned low = next.Between(0, 8);
        const unsigned high = next.Between(9, 64);
        pattern += "{" + std::to_string(low) + "-" + std::to_string(high) + "}";
        Part(next, next.Between(6, 12), pattern);
        break;
    }
    case 7: // alternatives of one byte
        for (const char* separator : {"(", "|", "|"})
        {
            pattern += separator;
            Hex(next, 1, pattern);
        }
        pattern += ")";
        Hex(next, next.Between(6, 12), pattern);
        break;
    case 8: // a nibble wildcard
        pattern += Hex(next, 1).substr(0, 1) + "?";
        Hex(next, next.Between(6, 12), pattern);
        break;
    default: // an unbounded gap between two fixed parts
        pattern += "*";
        Part(next, next.Between(8, 16), pattern);
        break;
    }
    return pattern;
}

// A logical subsignature: fixed bytes, sometimes with a single-byte wildcard.
std::string SubSignature(Random& next)
{
    std::string pattern;
    Part(next, next.Between(6, 10), pattern);
    if (next() % 3 == 0)
    {
        pattern += "??";
        Hex(next, next.Between(4, 8), pattern);
    }
    return pattern;
}

std::string LogicalExpression(Random& next, unsigned subSignatures)
{
    switch (subSignatures)
    {
    case 2:
        return next() % 2 ? "0&1" : "0|1";
    case 3:
        return next() % 2 ? "0&1&2" : "(0|1)&2";
    default:
        return next() % 2 ? "0&1&2&3" : "(0&1)|(2&3)";
    }
}

std::uint64_t Count(double base, double scale)
{
    return static_cast<std::uint64_t>(base * scale + 0.5);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3)
    {
        std::fprintf(stderr, "usage: %s <folder> [scale]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    char* end = nullptr;
    const double scale = argc > 2 ? std::strtod(argv[2], &end) : 1.0;
    if (argc > 2 && (end == argv[2] || *end != '\0' || !(scale >= 0) || scale > 10))
    {
        std::fprintf(stderr, "the scale is a number from 0 to 10\n");
        return 2;
    }

    Random next;
    std::uint64_t signatures = 0;
    std::uint64_t bytes = 0;
    // Writes one file of count lines; none when count is 0, since libclamav refuses an empty
    // database file.
    const auto write = [&](const char* name, double base, const auto& line)
    {
        const std::uint64_t count = Count(base, scale);
        if (count == 0)
            return;
        Output out(folder + "/" + name);
        for (std::uint64_t i = 0; i < count; ++i)
            out.Line(line(std::to_string(i)));
        signatures += count;
        bytes += out.bytes;
    };
    // The names are as short as a real set's, so that the text has its size.
    write("bench.hdb", 3000000,
          [&](const std::string& i)
          {
              const std::string hash = Hex(next, 16);
              return hash + ":" + std::to_string(FileSize(next)) + ":Bench.File-" + i;
          });
    write("bench.hsb", 1500000,
          [&](const std::string& i)
          {
              const std::string hash = Hex(next, 32);
              return hash + ":" + std::to_string(FileSize(next)) + ":Bench.Sha-" + i;
          });
    // Section sizes are those of real sections: multiples of the file alignment.
    write("bench.mdb", 1500000,
          [&](const std::string& i)
          {
              const unsigned size = 512 * next.Between(1, 2048);
              return std::to_string(size) + ":" + Hex(next, 16) + ":Bench.Sec-" + i;
          });
    // Most body signatures look anywhere in any file; some only in PE files, or at their entry
    // point.
    write("bench.ndb", 150000,
          [&](const std::string& i)
          {
              const unsigned kind = static_cast<unsigned>(next() % 10);
              const char* target = kind < 7 ? "0" : "1";
              const std::string offset =
                  kind == 9 ? "EP+" + std::to_string(next.Between(0, 64)) : std::string("*");
              return "Bench.Body-" + i + ":" + target + ":" + offset + ":" + BodyPattern(next);
          });
    // Logical signatures name the kind of file they are for, most of them PE files, as in real
    // sets. Their kind matters to the speed: libclamav sets up every logical signature of a
    // kind for each file of that kind it scans (about a microsecond each), so that thousands for
    // any kind (0) would cost every small file milliseconds, which a real set does not.
    write("bench.ldb", 30000,
          [&](const std::string& i)
          {
              const unsigned subSignatures = next.Between(2, 4);
              // Of 100: 80 PE, 8 HTML, 5 ELF, 5 PDF, 1 text, 1 any file.
              const unsigned kind = static_cast<unsigned>(next() % 100);
              const char* target = kind < 80   ? "1"
                                   : kind < 88 ? "3"
                                   : kind < 93 ? "6"
                                   : kind < 98 ? "10"
                                   : kind < 99 ? "7"
                                               : "0";
              std::string line = "Bench.Logical-" + i + ";Engine:51-255,Target:" + target + ";" +
                                 LogicalExpression(next, subSignatures);
              for (unsigned s = 0; s < subSignatures; ++s)
                  line += ";" + SubSignature(next);
              return line;
          });
    std::printf("%" PRIu64 " signatures, %.1f MB\n", signatures, static_cast<double>(bytes) / 1e6);
    return 0;
}
