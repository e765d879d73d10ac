// Scans a generated tree with scan.dll and with clamscan using the same definitions, and prints
// the wall times, their ratio and the peak memory of each.
// Usage: EngineBenchmark [files (default 10000)] [rounds (default 2)]
#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
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
    double seconds = 0;
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

// Files of 1 to 32 KiB of text and binary data in 100 folders; every 100th is the test virus.
long GenerateTree(const std::string& root, int files)
{
    unsigned int seed = 12345;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
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

// Runs work in a child process and measures its wall time and peak memory. The child passes a
// count back through its exit status (-1 when it has none).
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
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.peakKilobytes = usage.ru_maxrss;
    result.detections = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

int CountDetections(_ScanCbkParams* params, int* action, void* context)
{
    if (params->scanStatus == ThreatScanner::StatusInfected)
        ++*static_cast<int*>(context);
    *action = ThreatScanner::ActionNone;
    return 0;
}

// Starts the engine in read-only mode from the program folder and scans the tree. Exit status:
// detections modulo 256, or 255 on failure.
int ScanWithEngine(const std::string& tree)
{
    void* library = ::dlopen(ENGINE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return 255;
    const auto bind = [library](const char* name) { return ::dlsym(library, name); };
    auto initialize =
        reinterpret_cast<ThreatScanner::Initialize*>(bind("ThreatScanner_Initialize"));
    auto create =
        reinterpret_cast<ThreatScanner::CreateInstance*>(bind("ThreatScanner_CreateInstance"));
    auto setCallback =
        reinterpret_cast<ThreatScanner::SetScanCallback2*>(bind("ThreatScanner_SetScanCallback2"));
    auto scan = reinterpret_cast<ThreatScanner::ScanPath*>(bind("ThreatScanner_ScanPath"));
    CThreatScannerStruct* instance = nullptr;
    if (initialize(L"" PROGRAM_FOLDER, L"") != 0 || create(&instance) != 0)
        return 255;
    int detections = 0;
    setCallback(
        instance,
        [](_ScanCbkParams* params, int* action, void* context)
        { CountDetections(params, action, context); },
        &detections);
    const std::wstring root(tree.begin(), tree.end());
    if (scan(instance, 0, root.c_str(), static_cast<int>(::getpid())) != 0)
        return 255;
    return detections % 256;
}

// Runs clamscan on the tree with the same definitions and counts its "FOUND" lines.
int ScanWithClamscan(const std::string& tree)
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
        const std::string plugins = std::string(PROGRAM_FOLDER) + "/Plugins";
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
    return found % 256;
}

// Reads every file once so that both scanners start from a warm page cache.
int WarmUp(const std::string& tree)
{
    const std::string command = "cat -- $(find '" + tree + "' -type f) > /dev/null";
    return std::system(command.c_str());
}
} // namespace

int main(int argc, char** argv)
{
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;
    char pattern[] = "/tmp/corvane-bench-XXXXXX";
    if (!::mkdtemp(pattern))
        return 1;
    const std::string tree = pattern;
    const long infected = GenerateTree(tree, files);
    WarmUp(tree);

    Measurement engine{1e30, 0, -1};
    Measurement clamscan{1e30, 0, -1};
    for (int round = 0; round < rounds; ++round)
    {
        const Measurement e = Measure([&] { return ScanWithEngine(tree); });
        const Measurement c = Measure([&] { return ScanWithClamscan(tree); });
        std::printf("round %d: engine %.3f s, clamscan %.3f s\n", round + 1, e.seconds, c.seconds);
        if (e.seconds < engine.seconds)
            engine = e;
        if (c.seconds < clamscan.seconds)
            clamscan = c;
    }
    std::printf("files: %d (%ld infected), cores: %ld\n", files, infected,
                ::sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("engine:   %.3f s, peak %ld KiB, detections %ld\n", engine.seconds,
                engine.peakKilobytes, engine.detections);
    std::printf("clamscan: %.3f s, peak %ld KiB, detections %ld\n", clamscan.seconds,
                clamscan.peakKilobytes, clamscan.detections);
    std::printf("clamscan time / engine time: %.2f\n", clamscan.seconds / engine.seconds);
    std::system(("rm -rf '" + tree + "'").c_str());
    return 0;
}
