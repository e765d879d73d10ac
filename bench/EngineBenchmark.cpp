// Scans a generated tree with scan.dll and with clamscan using the same definitions, and prints
// medians of wall time, processor time (user + system) and peak memory side by side: a first
// scan (no clean-result cache), a second scan of the unchanged tree (the engine's cache from the
// first), both with the starter definitions and with a generated set of 230,000 signatures
// (200,000 MD5 hashes and 30,000 body patterns). clamscan keeps nothing between runs, so its
// second scan is a scan like its first.
// Usage: EngineBenchmark [files (default 10000)] [rounds (default 5)]
#include "DllHelper/Dll.h"
#include "ThreatScanner/Exports.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
struct Measurement
{
    double wall = 0; // seconds
    double cpu = 0;  // seconds, user + system
    long peakKilobytes = 0;
    long detections = -1;
};

std::string TestVirus()
{
    std::string text = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$";
    return text + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

void Write(const std::string& path, const std::string& content)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(content.data(), 1, content.size(), file) != content.size())
    {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fclose(file);
}

void Run(const std::string& command)
{
    if (std::system(command.c_str()) != 0)
    {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

struct Random
{
    unsigned int seed;
    unsigned int operator()() { return seed = seed * 1103515245u + 12345u; }
};

// Files of 1 to 32 KiB of text and binary data in 100 folders; every 100th is the test virus.
long GenerateTree(const std::string& root, int files)
{
    Random next{12345};
    long infected = 0;
    for (int folder = 0; folder < 100; ++folder)
        ::mkdir((root + "/" + std::to_string(folder)).c_str(), 0755);
    for (int i = 0; i < files; ++i)
    {
        const std::string path =
            root + "/" + std::to_string(i % 100) + "/file" + std::to_string(i) + ".dat";
        if (i % 100 == 0)
        {
            Write(path, TestVirus());
            ++infected;
            continue;
        }
        std::string content(1024 + next() % (31 * 1024), '\0');
        const bool text = i % 2 == 0;
        for (char& c : content)
            c = text ? static_cast<char>('a' + next() % 26) : static_cast<char>(next() >> 16);
        Write(path, content);
    }
    return infected;
}

// Definitions come from another generator than the tree's content, so that no pattern is a
// piece of a generated file.
std::string RandomHex(std::mt19937& next, int bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (int i = 0; i < bytes; ++i)
    {
        const unsigned int value = next() >> 16;
        hex += digits[(value >> 4) & 15];
        hex += digits[value & 15];
    }
    return hex;
}

// 200,000 MD5 hash signatures and 30,000 body patterns that match nothing in the tree.
void GenerateSyntheticDefinitions(const std::string& plugins)
{
    std::mt19937 next(777);
    std::string hashes;
    for (int i = 0; i < 200000; ++i)
        hashes += RandomHex(next, 16) + ":" + std::to_string(1024 + next() % (31 * 1024)) +
                  ":Corvane.Synthetic.Hash." + std::to_string(i) + "\n";
    Write(plugins + "/synthetic.hdb", hashes);
    std::string bodies;
    for (int i = 0; i < 30000; ++i)
        bodies += "Corvane.Synthetic.Body." + std::to_string(i) +
                  ":0:*:" + RandomHex(next, 12 + static_cast<int>(next() % 9)) + "\n";
    Write(plugins + "/synthetic.ndb", bodies);
}

// A writable installation: the starter definitions and, when asked, the synthetic set.
std::string MakeInstallation(const std::string& folder, bool synthetic)
{
    Run("mkdir -p '" + folder + "/Plugins' '" + folder + "/Temp' '" + folder + "/Quarantine'");
    Run("cp '" PROGRAM_FOLDER "'/Plugins/corvane-starter.* '" PROGRAM_FOLDER
        "'/Plugins/update.txt '" +
        folder + "/Plugins/'");
    if (synthetic)
        GenerateSyntheticDefinitions(folder + "/Plugins");
    return folder;
}

double Seconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Runs work in a child process and measures its wall time, processor time and peak memory. The
// child passes a count back through its exit status.
template <typename Work> Measurement Measure(Work work)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(work());
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    Measurement result;
    result.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    result.peakKilobytes = usage.ru_maxrss;
    result.detections = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Starts the engine on the installation as the program does and scans the tree. Exit status:
// detections modulo 250, or 255 on failure.
int ScanWithEngine(const std::string& installation, const std::string& tree)
{
    using EngineLibrary = DllHelper::BoundLibrary<ThreatScanner::Exports>;
    EngineLibrary engine;
    try
    {
        engine = EngineLibrary::Load(ENGINE_LIBRARY_PATH,
                                     [](auto find) { return ThreatScanner::BindExports(find); });
    }
    catch (const std::exception&)
    {
        return 255;
    }
    const auto wide = [](const std::string& text)
    { return std::wstring(text.begin(), text.end()); };
    const std::wstring base = wide(installation);
    const std::wstring temp = wide(installation + "/Temp");
    const std::wstring quarantine = wide(installation + "/Quarantine");
    std::wstring smartDb = wide(installation + "/SmartDB.dll");
    _InitializeParams params{};
    params.size = sizeof params;
    params.programFolder = base.c_str();
    params.quarantineFolder = quarantine.c_str();
    params.tempFolder = temp.c_str();
    params.value116 = 1;
    params.instanceGuid = L"00000000-0000-0000-0000-000000000000";
    CThreatScannerStruct* instance = nullptr;
    if (engine->InitializeEx(base.c_str(), L"", smartDb.data(), &params) != 0 ||
        engine->CreateInstance(&instance) != 0)
        return 255;
    int detections = 0;
    engine->SetScanCallback2(
        instance,
        [](_ScanCbkParams* params, int* action, void* context)
        {
            if (params->scanStatus == ThreatScanner::StatusInfected)
                ++*static_cast<int*>(context);
            *action = ThreatScanner::ActionNone;
        },
        &detections);
    const std::wstring root = wide(tree);
    if (engine->ScanPath(instance, 0, root.c_str(), static_cast<int>(::getpid())) != 0)
        return 255;
    engine->Uninitialize();
    return detections % 250;
}

// Runs clamscan on the tree with the installation's definitions and counts its "FOUND" lines.
int ScanWithClamscan(const std::string& installation, const std::string& tree)
{
    int ends[2];
    if (::pipe(ends) != 0)
        return 255;
    const pid_t child = ::fork();
    if (child == 0)
    {
        ::dup2(ends[1], STDOUT_FILENO);
        ::close(ends[0]);
        ::close(ends[1]);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        const std::string plugins = installation + "/Plugins";
        ::execlp("clamscan", "clamscan", "-r", "-i", "--no-summary", "-d", plugins.c_str(),
                 tree.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ends[1]);
    std::string output;
    char buffer[65536];
    ssize_t count = 0;
    while ((count = ::read(ends[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, static_cast<std::size_t>(count));
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1)
        return 255;
    int found = 0;
    for (std::size_t at = output.find(" FOUND\n"); at != std::string::npos;
         at = output.find(" FOUND\n", at + 1))
        ++found;
    return found % 250;
}

// Reads every file once so that both scanners start from a warm page cache.
void WarmUp(const std::string& tree)
{
    Run("find '" + tree + "' -type f -exec cat -- {} + > /dev/null");
}

// The median of each figure on its own.
Measurement Median(std::vector<Measurement> all)
{
    Measurement result;
    const auto median = [&all](auto field)
    {
        std::vector<double> values;
        for (const Measurement& m : all)
            values.push_back(static_cast<double>(m.*field));
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    };
    result.wall = median(&Measurement::wall);
    result.cpu = median(&Measurement::cpu);
    result.peakKilobytes = static_cast<long>(median(&Measurement::peakKilobytes));
    result.detections = all.empty() ? -1 : all.front().detections;
    for (const Measurement& m : all)
        if (m.detections != result.detections)
            result.detections = -1; // runs disagree
    return result;
}

void PrintRow(const char* name, const Measurement& engine, const Measurement& clamscan)
{
    std::printf(
        "%-22s %8.3f %8.3f %6.2f   %7.3f %7.3f %6.2f   %8ld %8ld %5.2f   %4ld %4ld\n", name,
        engine.wall, clamscan.wall, engine.wall / clamscan.wall, engine.cpu, clamscan.cpu,
        engine.cpu / clamscan.cpu, engine.peakKilobytes / 1024, clamscan.peakKilobytes / 1024,
        static_cast<double>(engine.peakKilobytes) / static_cast<double>(clamscan.peakKilobytes),
        engine.detections, clamscan.detections);
}
} // namespace

int main(int argc, char** argv)
{
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    char pattern[] = "/tmp/corvane-bench-XXXXXX";
    if (!::mkdtemp(pattern))
        return 1;
    const std::string work = pattern;
    const std::string tree = work + "/tree";
    ::mkdir(tree.c_str(), 0755);
    const long infected = GenerateTree(tree, files);

    struct Set
    {
        const char* name;
        std::string installation;
        std::vector<Measurement> engineFirst, engineSecond, clamscan;
    };
    std::vector<Set> sets = {{"starter", MakeInstallation(work + "/starter", false), {}, {}, {}},
                             {"230k", MakeInstallation(work + "/synthetic", true), {}, {}, {}}};
    WarmUp(tree);
    for (int round = 0; round < rounds; ++round)
    {
        for (Set& set : sets)
        {
            const std::string cache = set.installation + "/Plugins/cache.000";
            ::unlink(cache.c_str());
            set.engineFirst.push_back(
                Measure([&] { return ScanWithEngine(set.installation, tree); }));
            set.engineSecond.push_back(
                Measure([&] { return ScanWithEngine(set.installation, tree); }));
            set.clamscan.push_back(
                Measure([&] { return ScanWithClamscan(set.installation, tree); }));
            std::printf("round %d, %s: engine first %.3f s, second %.3f s, clamscan %.3f s\n",
                        round + 1, set.name, set.engineFirst.back().wall,
                        set.engineSecond.back().wall, set.clamscan.back().wall);
            std::fflush(stdout);
        }
    }

    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("\nfiles: %d (%ld infected), cores: %ld, rounds: %d (medians), load average at "
                "the end: %.2f\n",
                files, infected, ::sysconf(_SC_NPROCESSORS_ONLN), rounds, load[0]);
    std::printf("clamscan keeps nothing between runs: its second scan is its first again.\n\n");
    std::printf("%-22s %8s %8s %6s   %7s %7s %6s   %8s %8s %5s   %9s\n", "", "wall s", "", "",
                "cpu s", "", "", "peak MiB", "", "", "found");
    std::printf("%-22s %8s %8s %6s   %7s %7s %6s   %8s %8s %5s   %4s %4s\n", "scan", "engine",
                "clamscan", "ratio", "engine", "clamscan", "ratio", "engine", "clamscan", "ratio",
                "eng", "clam");
    for (const Set& set : sets)
    {
        const Measurement clamscan = Median(set.clamscan);
        PrintRow((std::string("first, ") + set.name).c_str(), Median(set.engineFirst), clamscan);
        PrintRow((std::string("second, ") + set.name).c_str(), Median(set.engineSecond), clamscan);
    }
    Run("rm -rf '" + work + "'");
    return 0;
}
