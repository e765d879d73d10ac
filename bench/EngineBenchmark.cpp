// Measures, side by side in one run and with the same definitions, how long a scan takes and
// how much memory it needs: the program with its engine in process, the program with the
// engine service, clamscan, and libclamav's own daemon (clamd) with its client passing
// descriptors (clamdscan --fdpass). The definitions are the starter set plus a synthetic set of
// a real set's size (GenerateDefinitions); the jobs are --definitions-info, a custom scan of one
// small file, and two scans of a generated tree (the second finds the clean-result cache of the
// first). Each job is one run, reported with its wall time, the processor time and peak memory
// of the client process and, for a resident process, its own processor time and peak memory
// during the job. Processor time tells what a job costs when the machine is shared.
//
//   EngineBenchmark [--scale S] [--files N] [--service BINARY] [--service-args TEMPLATE]
//                   [--service-key KEY] [--service-switch COMMAND] [--program-folder FOLDER]
//                   [--jobs all|quick] [--repeat N] [--modes LIST]
//
// --scale multiplies the synthetic set's counts (default 1: 6.2 million signatures; 0 leaves
// only the starter set); --files is the tree's size (default 10,000 files, about 231 MB). Every
// file lives in a temporary folder that is removed at the end. A mode whose programs are missing
// is reported as not available. --jobs quick runs only the jobs on one file (--definitions-info
// and the small file) and no tree or switch; --repeat runs each of those jobs N times and reports
// the run of median wall time, since one run of a few milliseconds says little on a shared machine.
// --modes names the modes to run, separated by commas (program, clamscan, clamd, service; default
// all of them), so that the resident ones can be compared without the minutes the others take.
// Before each resident mode's switch one signature is added to the set, so that the switch loads
// a set that changed, as after an update (the service does not load an unchanged folder again).
// The exit status is 1 when a job failed or found other than the expected detections.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// How the bench starts the engine service and points the program at it. In the service's
// arguments and the switch command, {socket}, {plugins}, {temp}, {program} and {service} stand
// for the private socket, the definitions folder, a temporary folder (the service's state), the
// installation's program and the service executable.
// In-process runs set the key to "off", so that a service answering on the default socket does
// not take part in them.
const char* const defaultServiceArguments =
    "--socket {socket} --definitions {plugins} --state {temp}";
const char* const defaultServiceSwitch = "{service} --switch {socket}";
const char* const defaultServiceKey = "engine_service";

struct Options
{
    double scale = 1.0;
    int files = 10000;
    bool quick = false;  // only the jobs on one file
    int repeat = 1;      // runs of each job on one file
    std::string service; // the service executable; empty when not given
    std::string serviceArguments = defaultServiceArguments;
    std::string serviceKey = defaultServiceKey;
    // A shell command that switches the service's set; may be empty.
    std::string serviceSwitch = defaultServiceSwitch;
    std::string programFolder = PROGRAM_FOLDER;
    std::set<std::string> modes = {"program", "clamscan", "clamd", "service"};
};

// One job's figures. Memory is in KiB; -1 where it does not apply.
struct Measurement
{
    double wall = 0;
    double clientCpu = -1;   // seconds of processor time, user and system
    double residentCpu = -1; // the same for the resident process during the job
    long clientPeak = -1;
    long residentPeak = -1;
    long found = -1;
    bool failed = false;
    std::string note;
};

struct Row
{
    std::string mode;
    std::string job;
    std::optional<Measurement> measurement; // none: not available
    long expected = -1;                     // detections the job must report; -1: not checked
    std::string note;                       // why it is not available
};

// What the bench leaves running or on disk until it ends: the resident processes it started and
// its temporary folder. A failure removes both.
std::vector<pid_t> residents;
std::string workFolder;

pid_t Start(const std::vector<std::string>& arguments, const std::string& output = "/dev/null",
            const std::vector<std::string>& environment = {});

void RemoveWorkFolder()
{
    if (workFolder.empty())
        return;
    const pid_t remove = Start({"/bin/rm", "-rf", workFolder});
    ::waitpid(remove, nullptr, 0);
    workFolder.clear();
}

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "EngineBenchmark: %s\n", what.c_str());
    static bool failing = false;
    if (!failing)
    {
        failing = true;
        for (const pid_t resident : residents)
        {
            ::kill(resident, SIGKILL);
            ::waitpid(resident, nullptr, 0);
        }
        RemoveWorkFolder();
    }
    std::exit(1);
}

void Write(const std::string& path, const std::string& content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file.flush())
        Fail("cannot write " + path);
}

std::string Read(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void MakeFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        Fail("cannot create " + path);
}

void Copy(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    if (!in)
        Fail("cannot read " + from);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    if (!out.flush())
        Fail("cannot write " + to);
    ::chmod(to.c_str(), 0755);
}

bool Executable(const std::string& path)
{
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

// The first executable of that name on PATH, or empty.
std::string OnPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':'))
    {
        if (!folder.empty() && Executable(folder + "/" + name))
            return folder + "/" + name;
    }
    return {};
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream stream(text);
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    return words;
}

// Starts a program with its standard output going to a file (or nowhere) and its standard
// error nowhere; extra environment entries are "NAME=value".
pid_t Start(const std::vector<std::string>& arguments, const std::string& output,
            const std::vector<std::string>& environment)
{
    const pid_t child = ::fork();
    if (child < 0)
        Fail("cannot fork");
    if (child == 0)
    {
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (out < 0 || null < 0 || ::dup2(null, STDIN_FILENO) < 0 ||
            ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(null, STDERR_FILENO) < 0)
            ::_exit(127);
        for (const std::string& entry : environment)
            ::putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return child;
}

// A resident process's memory from /proc: its current and its peak resident size, in KiB.
long ProcessMemory(pid_t process, const char* field)
{
    std::istringstream status(Read("/proc/" + std::to_string(process) + "/status"));
    for (std::string line; std::getline(status, line);)
    {
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    }
    return -1;
}

// A resident process's processor time so far (user and system), in seconds.
double ProcessorTime(pid_t process)
{
    // The command name in parentheses may hold spaces; the fields after it start with the
    // state (field 3); user and system time are fields 14 and 15, in clock ticks.
    const std::string stat = Read("/proc/" + std::to_string(process) + "/stat");
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string skipped;
    for (int field = 3; field <= 13; ++field)
        fields >> skipped;
    long long user = 0;
    long long system = 0;
    if (!(fields >> user >> system))
        return -1;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double Seconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Starts the peak resident size of a process anew, so that the next reading is the peak of
// what happens from now on.
void ResetPeak(pid_t process)
{
    std::ofstream("/proc/" + std::to_string(process) + "/clear_refs") << "5";
}

long Count(const std::string& text, const std::string& what)
{
    long count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size()))
        ++count;
    return count;
}

// Runs a client program to its end and measures it; the resident process, if any, gets its
// peak measured over the same time. countFound counts the detections in the output; succeeded
// judges the exit status and the output.
Measurement Measure(
    const std::vector<std::string>& arguments, const std::string& workFolder,
    const std::function<long(const std::string&)>& countFound,
    const std::vector<std::string>& environment = {}, pid_t resident = 0,
    const std::function<bool(int, const std::string&)>& succeeded =
        [](int status, const std::string&) { return status == 0; })
{
    const std::string output = workFolder + "/output.txt";
    const double residentStart = resident > 0 ? ProcessorTime(resident) : 0;
    if (resident > 0)
        ResetPeak(resident);
    const auto start = Clock::now();
    const pid_t child = Start(arguments, output, environment);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    Measurement result;
    result.wall = std::chrono::duration<double>(Clock::now() - start).count();
    result.clientCpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    result.clientPeak = usage.ru_maxrss;
    if (resident > 0)
    {
        result.residentPeak = ProcessMemory(resident, "VmHWM:");
        result.residentCpu = ProcessorTime(resident) - residentStart;
    }
    const std::string text = Read(output);
    result.failed = !WIFEXITED(status) || !succeeded(WEXITSTATUS(status), text);
    result.found = countFound(text);
    return result;
}

struct Random
{
    unsigned int seed;
    unsigned int operator()() { return seed = seed * 1103515245u + 12345u; }
};

std::string TestVirus()
{
    std::string text = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$";
    return text + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

// Files of mixed sizes (most of a few KiB, some of tens, a few of a hundred or more; about
// 23 KB on average) of text and binary data in 100 folders; every 100th is the test virus.
// Returns the number of infected files.
long GenerateTree(const std::string& root, int files, unsigned long long& bytes)
{
    Random next{12345};
    long infected = 0;
    for (int folder = 0; folder < 100; ++folder)
        MakeFolder(root + "/" + std::to_string(folder));
    for (int i = 0; i < files; ++i)
    {
        const std::string path =
            root + "/" + std::to_string(i % 100) + "/file" + std::to_string(i) + ".dat";
        if (i % 100 == 0)
        {
            Write(path, TestVirus());
            bytes += TestVirus().size();
            ++infected;
            continue;
        }
        const unsigned int kind = (next() >> 8) % 100;
        const std::size_t size = kind < 70   ? 1024 + (next() >> 8) % (15 * 1024)
                                 : kind < 95 ? 16 * 1024 + (next() >> 8) % (48 * 1024)
                                             : 64 * 1024 + (next() >> 8) % (148 * 1024);
        std::string content(size, '\0');
        const bool text = i % 2 == 0;
        for (char& c : content)
            c = text ? static_cast<char>('a' + (next() >> 16) % 26)
                     : static_cast<char>(next() >> 16);
        Write(path, content);
        bytes += size;
    }
    return infected;
}

// Reads every file once, so that every mode starts from a warm page cache.
void WarmUp(const std::string& tree)
{
    const pid_t child =
        Start({"/usr/bin/find", tree, "-type", "f", "-exec", "cat", "--", "{}", "+"});
    int status = 0;
    ::waitpid(child, &status, 0);
}

// Connects to a Unix socket; -1 when nothing answers there.
int Connect(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        Fail("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket >= 0 &&
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return socket;
    if (socket >= 0)
        ::close(socket);
    return -1;
}

// Sends one clamd command ("z" form, NUL-terminated) and returns its answer.
std::string ClamdCommand(const std::string& socketPath, const std::string& command)
{
    const int socket = Connect(socketPath);
    if (socket < 0)
        return {};
    // A daemon that takes the connection but never answers must not stall the bench.
    const timeval limit{60, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const std::string request = "z" + command + std::string(1, '\0');
    std::string answer;
    if (::send(socket, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size()))
    {
        char buffer[256];
        for (ssize_t count; (count = ::recv(socket, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(socket);
    return answer;
}

// Waits until ready() holds, while the process lives; false when it ended or ten minutes passed.
bool WaitFor(pid_t process, const std::function<bool()>& ready)
{
    const auto deadline = Clock::now() + std::chrono::minutes(10);
    while (Clock::now() < deadline)
    {
        int status = 0;
        if (::waitpid(process, &status, WNOHANG) == process)
            return false;
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Starts a resident process, to be stopped with Stop.
pid_t StartResident(const std::vector<std::string>& arguments, const std::string& output)
{
    const pid_t process = Start(arguments, output);
    residents.push_back(process);
    return process;
}

// Stops a resident process: asks it to end, and ends it after half a minute.
void Stop(pid_t process)
{
    residents.erase(std::remove(residents.begin(), residents.end(), process), residents.end());
    ::kill(process, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (::waitpid(process, nullptr, WNOHANG) == 0)
    {
        if (Clock::now() > deadline)
        {
            ::kill(process, SIGKILL);
            ::waitpid(process, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// A resident process's start: how long until it answered, and its memory then.
Measurement Started(double wall, pid_t process)
{
    Measurement started;
    started.wall = wall;
    started.residentPeak = ProcessMemory(process, "VmHWM:");
    started.residentCpu = ProcessorTime(process);
    started.note =
        "resident now " + std::to_string(ProcessMemory(process, "VmRSS:") / 1024) + " MiB";
    return started;
}

class Benchmark
{
public:
    explicit Benchmark(const Options& options) : options(options) {}

    int Run()
    {
        char pattern[] = "/tmp/corvane-bench-XXXXXX";
        if (!::mkdtemp(pattern))
            Fail("cannot create a temporary folder");
        work = workFolder = pattern;
        Prepare();
        if (options.modes.count("program"))
            InProcess();
        if (options.modes.count("clamscan"))
            Clamscan();
        if (options.modes.count("clamd"))
            Clamd();
        if (options.modes.count("service"))
            Service();
        Print();
        RemoveWorkFolder();
        return faults ? 1 : 0;
    }

private:
    void Prepare()
    {
        tree = work + "/tree";
        MakeFolder(tree);
        if (!options.quick)
            infected = GenerateTree(tree, options.files, treeBytes);
        smallFile = work + "/small.txt";
        Write(smallFile, std::string(4096, 'q'));

        // A program folder of its own: the program, the engine library, the starter
        // definitions and the synthetic set; its all-users data folder beside it.
        installation = work + "/installation";
        plugins = installation + "/Plugins";
        MakeFolder(installation);
        MakeFolder(plugins);
        MakeFolder(work + "/ProgramData");
        for (const char* file : {"CorvaneCommandLineScanner", "scan.dll"})
            Copy(options.programFolder + "/" + file, installation + "/" + file);
        for (const char* file :
             {"corvane-starter.hdb", "corvane-starter.ldb", "corvane-starter.ndb", "update.txt"})
            Copy(options.programFolder + "/Plugins/" + file, plugins + "/" + file);
        const auto start = Clock::now();
        const pid_t generator =
            Start({GENERATOR_PATH, plugins, std::to_string(options.scale)}, work + "/set.txt");
        int status = 0;
        ::waitpid(generator, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            Fail("generating the definitions failed");
        generation = std::chrono::duration<double>(Clock::now() - start).count();
        setDescription = Read(work + "/set.txt");
        if (!setDescription.empty() && setDescription.back() == '\n')
            setDescription.pop_back();
        if (!options.quick)
            WarmUp(tree);
    }

    std::string Program() const { return installation + "/CorvaneCommandLineScanner"; }

    std::vector<std::string> ProgramEnvironment() const
    {
        return {"PROGRAMDATA=" + work + "/ProgramData"};
    }

    // The program's detections: one "Object Path: " line per infected object.
    static long ProgramFound(const std::string& output) { return Count(output, "Object Path: "); }
    static long ClamFound(const std::string& output) { return Count(output, " FOUND\n"); }

    // Whether a clamscan or clamdscan run worked: 0 is clean, 1 found something.
    static bool ClamSucceeded(int status, const std::string&) { return status <= 1; }

    // The program's jobs, with the engine in process or in the service (resident > 0). The
    // program ends with exit status 0 whatever happened, so its output tells whether a job
    // worked: a scan that ran to its end says "Scan complete.", and the definitions
    // information names the installation's version.
    void ProgramJobs(const std::string& mode, pid_t resident)
    {
        const auto run = [&](const char* job, std::vector<std::string> arguments, long expected,
                             const char* success, bool oneFile)
        {
            arguments.insert(arguments.begin(), Program());
            const auto measure = [&]
            {
                return Measure(arguments, work, ProgramFound, ProgramEnvironment(), resident,
                               [success](int status, const std::string& output) {
                                   return status == 0 && output.find(success) != std::string::npos;
                               });
            };
            Add(mode, job, oneFile ? Median(measure) : measure(), expected);
        };
        run("definitions info", {"--definitions-info"}, -1, "\tDatabase version: 1\n", true);
        run("one small file", {"--custom", smallFile}, 0, "Scan complete.", true);
        if (options.quick)
            return;
        ::unlink((plugins + "/cache.000").c_str());
        run("tree, first", {"--custom", tree}, infected, "Scan complete.", false);
        run("tree, second", {"--custom", tree}, infected, "Scan complete.", false);
    }

    // The run of median wall time among the repeated runs of a job; a failed run is reported
    // instead.
    Measurement Median(const std::function<Measurement()>& measure) const
    {
        std::vector<Measurement> runs;
        for (int i = 0; i < options.repeat; ++i)
        {
            runs.push_back(measure());
            if (runs.back().failed)
                return runs.back();
        }
        std::sort(runs.begin(), runs.end(),
                  [](const Measurement& a, const Measurement& b) { return a.wall < b.wall; });
        Measurement median = runs[runs.size() / 2];
        if (runs.size() > 1)
            median.note = "median of " + std::to_string(runs.size()) + " runs, fastest " +
                          std::to_string(static_cast<int>(runs.front().wall * 1000 + 0.5)) + " ms";
        return median;
    }

    void InProcess()
    {
        Write(installation + "/config.ini", options.serviceKey + "=off\n");
        ProgramJobs("program", 0);
    }

    void Clamscan()
    {
        const std::string clamscan = OnPath("clamscan");
        if (clamscan.empty())
            return Unavailable("clamscan", "clamscan is not installed");
        Add("clamscan", "one small file",
            Median(
                [&]
                {
                    return Measure({clamscan, "--no-summary", "-d", plugins, smallFile}, work,
                                   ClamFound, {}, 0, ClamSucceeded);
                }),
            0);
        if (options.quick)
            return;
        Add("clamscan", "tree",
            Measure({clamscan, "-r", "-i", "--no-summary", "-d", plugins, tree}, work, ClamFound,
                    {}, 0, ClamSucceeded),
            infected);
    }

    // libclamav's daemon with a private configuration and socket, started here and stopped at
    // the end; it never listens on the network.
    void Clamd()
    {
        const std::string mode = "clamd+clamdscan";
        const std::string clamd =
            Executable("/usr/sbin/clamd") ? "/usr/sbin/clamd" : OnPath("clamd");
        const std::string clamdscan = OnPath("clamdscan");
        if (clamd.empty() || clamdscan.empty())
            return Unavailable(mode, "clamd or clamdscan is not installed "
                                     "(tools/install-bench-dependencies.sh)");
        const std::string socket = work + "/clamd.sock";
        const std::string log = work + "/clamd.log";
        const std::string configuration = work + "/clamd.conf";
        MakeFolder(work + "/clamd-temp");
        Write(configuration, "LocalSocket " + socket +
                                 "\nLocalSocketMode 600\nForeground yes\nDatabaseDirectory " +
                                 plugins + "\nTemporaryDirectory " + work +
                                 "/clamd-temp\nLogFile " + log +
                                 "\nSelfCheck 0\nConcurrentDatabaseReload yes\n");
        const auto start = Clock::now();
        const pid_t daemon = StartResident({clamd, "--config-file=" + configuration}, "/dev/null");
        if (!WaitFor(daemon,
                     [&] { return ClamdCommand(socket, "PING") == std::string("PONG") + '\0'; }))
        {
            Stop(daemon);
            return Unavailable(mode, "clamd did not start; its log: " + log);
        }
        Add(mode, "start (loads the set)",
            Started(std::chrono::duration<double>(Clock::now() - start).count(), daemon), -1);

        const auto run = [&](const char* job, const std::string& path, long expected)
        {
            const auto measure = [&]
            {
                return Measure({clamdscan, "--config-file=" + configuration, "--fdpass", "-i",
                                "--no-summary", path},
                               work, ClamFound, {}, daemon, ClamSucceeded);
            };
            Add(mode, job, path == smallFile ? Median(measure) : measure(), expected);
        };
        run("one small file", smallFile, 0);
        if (options.quick)
            return Stop(daemon);
        run("tree, first", tree, infected);
        run("tree, second", tree, infected);

        // A reload loads the set a second time beside the one in use, then drops the old one.
        ChangeSet();
        const long steady = ProcessMemory(daemon, "VmRSS:");
        const double cpu = ProcessorTime(daemon);
        ResetPeak(daemon);
        const auto reload = Clock::now();
        Measurement switched;
        const std::string reloaded = "Database correctly reloaded";
        if (ClamdCommand(socket, "RELOAD").rfind("RELOADING", 0) != 0 ||
            !WaitFor(daemon, [&] { return Read(log).find(reloaded) != std::string::npos; }))
            switched.failed = true;
        switched.wall = std::chrono::duration<double>(Clock::now() - reload).count();
        switched.residentPeak = ProcessMemory(daemon, "VmHWM:");
        switched.residentCpu = ProcessorTime(daemon) - cpu;
        switched.note = Ratio(switched.residentPeak, steady);
        Add(mode, "definitions switch", switched, -1);
        Stop(daemon);
    }

    // The engine service from the given executable, on a private socket with the same set.
    void Service()
    {
        const std::string mode = "program+service";
        if (!Executable(options.service))
            return Unavailable(mode, options.service.empty()
                                         ? "no service executable given (--service)"
                                         : options.service + " is not built");
        const std::string socket = work + "/service.sock";
        MakeFolder(work + "/service-temp");
        const auto fill = [&](std::string text)
        {
            text = Replace(text, "{socket}", socket);
            text = Replace(text, "{plugins}", plugins);
            text = Replace(text, "{program}", Program());
            text = Replace(text, "{service}", options.service);
            return Replace(text, "{temp}", work + "/service-temp");
        };
        std::vector<std::string> arguments = {options.service};
        for (const std::string& word : Words(options.serviceArguments))
            arguments.push_back(fill(word));
        const auto start = Clock::now();
        const pid_t service = StartResident(arguments, work + "/service.txt");
        // The service listens once its set is loaded.
        if (!WaitFor(service,
                     [&]
                     {
                         const int connection = Connect(socket);
                         if (connection >= 0)
                             ::close(connection);
                         return connection >= 0;
                     }))
        {
            Stop(service);
            return Unavailable(mode, "the service did not start");
        }
        Add(mode, "start (loads the set)",
            Started(std::chrono::duration<double>(Clock::now() - start).count(), service), -1);
        Write(installation + "/config.ini", options.serviceKey + "=" + socket + "\n");
        ProgramJobs(mode, service);
        if (options.quick)
        {
            Stop(service);
            Write(installation + "/config.ini", options.serviceKey + "=off\n");
            return;
        }
        // The switch to a newly installed set: the command asks the service for it and returns
        // once it is done.
        if (options.serviceSwitch.empty())
            rows.push_back({mode, "definitions switch", std::nullopt, -1,
                            "no switch command given (--service-switch)"});
        else
        {
            ChangeSet();
            const long steady = ProcessMemory(service, "VmRSS:");
            Measurement switched = Measure(
                {"/bin/sh", "-c", fill(options.serviceSwitch)}, work,
                [](const std::string&) { return -1L; }, ProgramEnvironment(), service);
            switched.note = Ratio(switched.residentPeak, steady);
            Add(mode, "definitions switch", switched, -1);
        }
        Stop(service);
        Write(installation + "/config.ini", options.serviceKey + "=off\n");
    }

    // Adds one file hash signature of its own to the set, as an update would change it.
    void ChangeSet()
    {
        ++changes;
        char line[96];
        std::snprintf(line, sizeof line, "%032x:4096:Bench.Switch.%d\n",
                      static_cast<unsigned>(changes), changes);
        Write(plugins + "/bench-switch-" + std::to_string(changes) + ".hdb", line);
    }

    static std::string Ratio(long peak, long steady)
    {
        if (peak <= 0 || steady <= 0)
            return {};
        char text[96];
        std::snprintf(text, sizeof text, "steady %ld MiB, peak %.2fx steady", steady / 1024,
                      static_cast<double>(peak) / static_cast<double>(steady));
        return text;
    }

    void Add(const std::string& mode, const std::string& job, const Measurement& measurement,
             long expected)
    {
        rows.push_back({mode, job, measurement, expected, {}});
        if (measurement.failed || (expected >= 0 && measurement.found != expected))
            ++faults;
        std::fprintf(stderr, "%s, %s: %.3f s\n", mode.c_str(), job.c_str(), measurement.wall);
    }

    void Unavailable(const std::string& mode, const std::string& why)
    {
        rows.push_back({mode, "", std::nullopt, -1, why});
    }

    static std::string Cpu(double seconds)
    {
        if (seconds < 0)
            return "-";
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", seconds);
        return text;
    }

    static std::string Mebibytes(long kilobytes)
    {
        return kilobytes < 0 ? "-" : std::to_string((kilobytes + 512) / 1024);
    }

    void Print() const
    {
        double load[3] = {0, 0, 0};
        ::getloadavg(load, 3);
        std::printf("definitions: starter set + %s (generated in %.1f s)\n", setDescription.c_str(),
                    generation);
        if (options.quick)
            std::printf("one small file of 4 KiB; jobs on one file only\n");
        else
            std::printf("tree: %d files, %.1f MB, %ld infected; one small file of 4 KiB\n",
                        options.files, static_cast<double>(treeBytes) / 1e6, infected);
        std::printf("cores: %ld, load average at the end: %.2f %.2f %.2f\n\n",
                    ::sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2]);
        std::printf("%-16s %-22s %8s %8s %8s %8s %8s %6s\n", "", "", "", "cpu s", "", "MiB", "",
                    "");
        std::printf("%-16s %-22s %8s %8s %8s %8s %8s %6s\n", "mode", "job", "wall s", "client",
                    "resident", "client", "resident", "found");
        for (const Row& row : rows)
        {
            if (!row.measurement)
            {
                std::printf("%-16s %-22s not available: %s\n", row.mode.c_str(), row.job.c_str(),
                            row.note.c_str());
                continue;
            }
            const Measurement& m = *row.measurement;
            std::string found = m.found < 0 || row.expected < 0 ? "-" : std::to_string(m.found);
            if (row.expected >= 0 && m.found != row.expected)
                found += " (expected " + std::to_string(row.expected) + ")";
            std::printf("%-16s %-22s %8.3f %8s %8s %8s %8s %6s%s%s%s\n", row.mode.c_str(),
                        row.job.c_str(), m.wall, Cpu(m.clientCpu).c_str(),
                        Cpu(m.residentCpu).c_str(), Mebibytes(m.clientPeak).c_str(),
                        Mebibytes(m.residentPeak).c_str(), found.c_str(),
                        m.failed ? "  FAILED" : "", m.note.empty() ? "" : "  ", m.note.c_str());
        }
    }

    const Options& options;
    std::string work, tree, smallFile, installation, plugins, setDescription;
    unsigned long long treeBytes = 0;
    long infected = 0;
    double generation = 0;
    std::vector<Row> rows;
    int faults = 0;
    int changes = 0;
};

Options Parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i)
    {
        const std::string name = argv[i];
        if (i + 1 >= argc)
            Fail("missing value for " + name);
        const std::string value = argv[++i];
        char* end = nullptr;
        if (name == "--scale")
        {
            options.scale = std::strtod(value.c_str(), &end);
            if (*end != '\0' || !(options.scale >= 0) || options.scale > 10)
                Fail("--scale takes a number from 0 to 10");
        }
        else if (name == "--files")
        {
            options.files = static_cast<int>(std::strtol(value.c_str(), &end, 10));
            if (*end != '\0' || options.files < 1 || options.files > 10000000)
                Fail("--files takes a number from 1 to 10000000");
        }
        else if (name == "--jobs")
        {
            if (value != "all" && value != "quick")
                Fail("--jobs takes all or quick");
            options.quick = value == "quick";
        }
        else if (name == "--repeat")
        {
            options.repeat = static_cast<int>(std::strtol(value.c_str(), &end, 10));
            if (*end != '\0' || options.repeat < 1 || options.repeat > 1000)
                Fail("--repeat takes a number from 1 to 1000");
        }
        else if (name == "--service")
            options.service = value;
        else if (name == "--service-args")
            options.serviceArguments = value;
        else if (name == "--service-switch")
            options.serviceSwitch = value;
        else if (name == "--service-key")
            options.serviceKey = value;
        else if (name == "--program-folder")
            options.programFolder = value;
        else if (name == "--modes")
        {
            options.modes.clear();
            std::stringstream list(value);
            for (std::string mode; std::getline(list, mode, ',');)
            {
                if (mode != "program" && mode != "clamscan" && mode != "clamd" && mode != "service")
                    Fail("--modes takes program, clamscan, clamd and service, separated by commas");
                options.modes.insert(mode);
            }
        }
        else
            Fail("unknown option " + name);
    }
    return options;
}
} // namespace

int main(int argc, char** argv)
{
    const Options options = Parse(argc, argv);
    return Benchmark(options).Run();
}
