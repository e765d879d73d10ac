// Start-up time of the program for its two shortest jobs, --help and --product-info: each is run
// many times from the build's program folder with its output thrown away, and the median and the
// 90th percentile of wall and processor time are printed.
//   StartupBenchmark [runs] [program]     (by default the build's own program)
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
struct Run
{
    double wallMs = 0;
    double cpuMs = 0;
};

double Milliseconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

Run RunOnce(const std::string& program, const char* option)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0)
    {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execl(program.c_str(), program.c_str(), option, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    Run result;
    result.wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    result.cpuMs = Milliseconds(usage.ru_utime) + Milliseconds(usage.ru_stime);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        result.wallMs = -1;
    return result;
}

double Percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}
} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const std::string program = argc > 2 ? argv[2] : PROGRAM_FOLDER "/CorvaneCommandLineScanner";
    std::printf("%-16s %10s %10s %10s %10s   (%d runs each)\n", "job", "wall ms", "p90", "cpu ms",
                "p90", runs);
    for (const char* option : {"--help", "--product-info"})
    {
        RunOnce(program, option); // page cache
        std::vector<double> wall, cpu;
        for (int run = 0; run < runs; ++run)
        {
            const Run result = RunOnce(program, option);
            if (result.wallMs < 0)
            {
                std::fprintf(stderr, "%s %s failed\n", program.c_str(), option);
                return 1;
            }
            wall.push_back(result.wallMs);
            cpu.push_back(result.cpuMs);
        }
        std::printf("%-16s %10.2f %10.2f %10.2f %10.2f\n", option, Percentile(wall, 0.5),
                    Percentile(wall, 0.9), Percentile(cpu, 0.5), Percentile(cpu, 0.9));
    }
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("load average at the end: %.2f\n", load[0]);
    return 0;
}
