#include "Engine.h"
#include "FileScan.h"
#include "FileSystem.h"

#include "DefinitionsSet/DefinitionsSet.h"
#include "FileSystemHelper/Text.h"
#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>
#include <clamav.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <openssl/crypto.h>
#include <sstream>

namespace ThreatScannerEngine
{
// The limits of what one object may make the engine read. An object that reaches one is not
// passed as clean: the scan raises a "Heuristics.Limits.Exceeded." alert for it, which is
// reported, and the scan call names the limit in its result.
// Tests may lower a value before the first engine is loaded (see SetEngineLimitForTests).
struct Limit
{
    cl_engine_field field;
    const char* name; // as the alert names it
    unsigned long long value;
};
Limit limits[] = {
    // Bytes read and extracted from one file and everything inside it.
    {CL_ENGINE_MAX_SCANSIZE, "MaxScanSize", 4ull << 30},
    // Size of a file, or of one member extracted from an archive; libclamav cannot scan more
    // than 2 GiB - 1 of one object.
    {CL_ENGINE_MAX_FILESIZE, "MaxFileSize", (2ull << 30) - 1},
    // Archives inside archives.
    {CL_ENGINE_MAX_RECURSION, "MaxRecursion", 17},
    // Members of one file, at every depth together.
    {CL_ENGINE_MAX_FILES, "MaxFiles", 10000},
    // Milliseconds spent on one file.
    {CL_ENGINE_MAX_SCANTIME, "MaxScanTime", 300000},
};

FileSystemHelper::LockResult LockForReading(FileSystemHelper::HeldFile& lock,
                                            const std::string& definitionsFolder)
{
    return lock.Lock(
        FileSystemHelper::PathFromWide(FileSystemHelper::ToWide(
            definitionsFolder + DefinitionsSet::SwitchLockSuffix, FileSystemHelper::CodePageUtf8)),
        FileSystemHelper::LockMode::Shared, std::chrono::minutes(1));
}

bool SetEngineLimitForTests(const std::string& name, unsigned long long value)
{
    for (Limit& limit : limits)
    {
        if (name == limit.name)
        {
            limit.value = value;
            return true;
        }
    }
    return false;
}

namespace
{
// Seconds since 1970-01-01 of a UTC date and time in the proleptic Gregorian calendar.
long long SecondsSinceEpoch(long long year, long long month, long long day, long long hour,
                            long long minute, long long second)
{
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long yearOfEra = year - era * 400;
    const long long dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const long long days = era * 146097 + dayOfEra - 719468;
    return ((days * 24 + hour) * 60 + minute) * 60 + second;
}

bool ParseReleaseTime(const std::string& text, std::uint32_t& seconds)
{
    std::tm moment{};
    char zone = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &moment.tm_year, &moment.tm_mon,
                    &moment.tm_mday, &moment.tm_hour, &moment.tm_min, &moment.tm_sec, &zone) != 7 ||
        zone != 'Z')
        return false;
    if (moment.tm_mon < 1 || moment.tm_mon > 12 || moment.tm_mday < 1 || moment.tm_mday > 31 ||
        moment.tm_hour < 0 || moment.tm_hour > 23 || moment.tm_min < 0 || moment.tm_min > 59 ||
        moment.tm_sec < 0 || moment.tm_sec > 60)
        return false;
    const long long value = SecondsSinceEpoch(moment.tm_year, moment.tm_mon, moment.tm_mday,
                                              moment.tm_hour, moment.tm_min, moment.tm_sec);
    if (value < 0 || value > static_cast<long long>(UINT32_MAX))
        return false;
    seconds = static_cast<std::uint32_t>(value);
    return true;
}
} // namespace

DatabaseInformation ReadUpdateInformation(const std::string& path)
{
    DatabaseInformation information;
    // Through the engine's own file calls, which take the UTF-8 path as wide on Windows (the C
    // runtime's narrow names go through the ANSI code page, which cannot spell every folder
    // name). A FIFO is never waited for, and only the start of a file too big to be one of
    // ours is read.
    constexpr std::size_t Limit = 1 << 20;
    Descriptor opened(-1);
    OpenFileStatus status;
    if (OpenFileToRead(nullptr, path, true, opened) != OpenOutcome::Opened ||
        !DescribeOpenFile(opened, status) || !status.regular)
        return information;
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(status.size, Limit)), '\0');
    std::size_t done = 0;
    while (done < text.size())
    {
        const long long count = ReadSome(opened, text.data() + done, text.size() - done);
        if (count <= 0)
            break;
        done += static_cast<std::size_t>(count);
    }
    text.resize(done);
    std::istringstream file(text);
    const std::string versionKey = "Version: ";
    const std::string timeKey = "Release time: ";
    bool haveTime = false;
    std::string line;
    while (std::getline(file, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto at = line.find(versionKey);
        if (!information.known && at != std::string::npos)
        {
            const std::string value = line.substr(at + versionKey.size());
            char* end = nullptr;
            const unsigned long long number = std::strtoull(value.c_str(), &end, 10);
            if (end != value.c_str() && number <= UINT32_MAX && value[0] >= '0' && value[0] <= '9')
            {
                information.version = static_cast<std::uint32_t>(number);
                information.known = true;
            }
        }
        if (!haveTime && line.rfind(timeKey, 0) == 0)
            haveTime = ParseReleaseTime(line.substr(timeKey.size()), information.releaseTime);
    }
    return information;
}

int Engine::InitializeLibraries()
{
    // OpenSSL is set up first, and told not to read a configuration file: its built-in
    // configuration path is not one this program controls, and a configuration can make it load
    // modules. libclamav would otherwise set it up with the defaults inside cl_init or its first
    // hash. Both calls do their work once per process.
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1 ||
        !DefinitionsSet::InitializeEngineLibrary())
        return ThreatScanner::CouldNotInitialize;
    return ThreatScanner::Success;
}

int Engine::Load(const std::string& pluginsFolder, const std::string& tempFolder,
                 std::shared_ptr<const Engine>& result)
{
    if (const int status = InitializeLibraries(); status != ThreatScanner::Success)
        return status;
    if (!IsFolder(pluginsFolder))
        return ThreatScanner::NoPlugins;

    std::shared_ptr<Engine> loaded(new Engine);
    loaded->engine = cl_engine_new();
    if (!loaded->engine)
        return ThreatScanner::AllocatingEngine;
    if (!tempFolder.empty() &&
        cl_engine_set_str(loaded->engine, CL_ENGINE_TMPDIR, tempFolder.c_str()) != CL_SUCCESS)
        return ThreatScanner::TmpPath;

    for (const Limit& limit : limits)
    {
        if (cl_engine_set_num(loaded->engine, limit.field, static_cast<long long>(limit.value)) !=
            CL_SUCCESS)
            return ThreatScanner::LoadingEngine;
    }

    const DefinitionsSet::LoadResult definitions =
        DefinitionsSet::Load(loaded->engine, pluginsFolder);
    if (definitions.missing || definitions.error == CL_EOPEN ||
        (definitions.error == CL_SUCCESS && definitions.signatures == 0))
        return ThreatScanner::NoPlugins;
    if (definitions.error != CL_SUCCESS)
        return ThreatScanner::LoadingEngine;

    // The callbacks are part of the engine and must be in place before it is shared.
    InstallLayerCallbacks(loaded->engine);
    if (cl_engine_compile(loaded->engine) != CL_SUCCESS)
        return ThreatScanner::LoadingEngine;

    // The installation's own description wins; official database files carry a version and a
    // build time of their own, used when that description is missing.
    loaded->information = ReadUpdateInformation(JoinPath(pluginsFolder, "update.txt"));
    if (!loaded->information.known)
    {
        int error = CL_SUCCESS;
        const long long version = cl_engine_get_num(loaded->engine, CL_ENGINE_DB_VERSION, &error);
        const long long time = cl_engine_get_num(loaded->engine, CL_ENGINE_DB_TIME, &error);
        if (error == CL_SUCCESS && version > 0 && version <= UINT32_MAX && time >= 0 &&
            time <= UINT32_MAX)
        {
            loaded->information.known = true;
            loaded->information.version = static_cast<std::uint32_t>(version);
            loaded->information.releaseTime = static_cast<std::uint32_t>(time);
        }
    }
    result = std::move(loaded);
    return ThreatScanner::Success;
}

std::string Engine::Version()
{
    std::string version = std::string("libclamav ") + cl_retver() + " limits";
    for (const Limit& limit : limits)
        version += " " + std::to_string(limit.value);
    return version;
}

Engine::~Engine()
{
    if (engine)
        cl_engine_free(engine);
}
} // namespace ThreatScannerEngine
