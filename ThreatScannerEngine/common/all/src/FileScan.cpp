#include "FileScan.h"
#include "ContentDigest.h"
#include "Engine.h"
#include "FileSystem.h"

#include "ThreatScanner/ThreatScanner.h"

#include <clamav.h>
#include <cstring>
#include <limits>

namespace ThreatScannerEngine
{
void (*layerHook)(const char* name) = nullptr;

namespace
{
// Follows the layers libclamav opens while it scans one file. libclamav announces every new
// layer with its depth, but does not say when a layer ends (layers found in its clean cache are
// announced and never finished), so each announcement cuts the chain back to its own depth.
// A match names the descriptor it was found in; the deepest layer open on that descriptor is the
// matching object. Layers below it on the chain were opened while it was open, so they cannot
// share its descriptor.
class LayerTracker
{
public:
    void Enter(int fd, std::uint32_t level, const char* name)
    {
        if (layers.size() > level)
            layers.resize(level);
        // A member is named by its file name alone. The library cuts its path off at the
        // platform's separator; archives separate with '/' on every platform.
        std::string member = name ? name : std::string();
        if (const std::size_t slash = member.rfind('/'); slash != std::string::npos)
            member.erase(0, slash + 1);
        layers.push_back({fd, std::move(member)});
    }

    void Found(int fd, const char* threatName)
    {
        std::size_t depth = layers.empty() ? 0 : layers.size() - 1;
        for (std::size_t i = layers.size(); i-- > 0;)
        {
            if (layers[i].fd == fd)
            {
                depth = i;
                break;
            }
        }
        Detection detection;
        detection.depth = static_cast<std::uint32_t>(depth);
        for (std::size_t i = 1; i <= depth && i < layers.size(); ++i)
            detection.members.push_back(layers[i].name);
        detection.threatName = threatName ? threatName : "";
        result.detections.push_back(std::move(detection));
    }

    FileScanResult result;

private:
    struct Layer
    {
        int fd;
        std::string name;
    };
    std::vector<Layer> layers;
};

cl_error_t OnFileInspection(int fd, const char*, const char**, size_t, const char* fileName, size_t,
                            const char*, uint32_t level, uint32_t, void* context)
{
    if (context)
        static_cast<LayerTracker*>(context)->Enter(fd, level, fileName);
    if (layerHook)
        layerHook(fileName ? fileName : "");
    return CL_CLEAN;
}

void OnVirusFound(int fd, const char* threatName, void* context)
{
    if (context)
        static_cast<LayerTracker*>(context)->Found(fd, threatName);
}

off_t ReadMapped(void* handle, void* buffer, size_t count, off_t offset)
{
    if (offset < 0)
        return -1;
    return static_cast<off_t>(ReadAt(*static_cast<const Descriptor*>(handle), buffer, count,
                                     static_cast<std::uint64_t>(offset)));
}

// A file read for the scanning library with every read recorded.
struct RecordedFile
{
    const Descriptor& file;
    ContentDigest* reads;
};

off_t ReadRecording(void* handle, void* buffer, size_t count, off_t offset)
{
    if (offset < 0)
        return -1;
    auto& recorded = *static_cast<RecordedFile*>(handle);
    const long long got = ReadAt(recorded.file, buffer, count, static_cast<std::uint64_t>(offset));
    if (got > 0)
        recorded.reads->Record(static_cast<std::uint64_t>(offset), buffer,
                               static_cast<std::size_t>(got));
    return static_cast<off_t>(got);
}

cl_scan_options Options(bool scanArchives)
{
    cl_scan_options options;
    std::memset(&options, 0, sizeof options);
    options.general = CL_SCAN_GENERAL_HEURISTICS;
    options.parse = ~0u;
    if (!scanArchives)
        options.parse &= ~static_cast<unsigned int>(CL_SCAN_PARSE_ARCHIVE);
    // An object that reaches one of the engine's limits raises an alert instead of passing as
    // clean. Other heuristic alerts stay off: they guess and would be acted on.
    options.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX;
    return options;
}

int ResultCode(cl_error_t error)
{
    switch (error)
    {
    case CL_CLEAN:
    case CL_VIRUS:
    case CL_BREAK:
        return ThreatScanner::Success;
    case CL_EMAXREC:
        return ThreatScanner::MaxLevels;
    case CL_EMAXSIZE:
        return ThreatScanner::MaxBytes;
    case CL_EMAXFILES:
        return ThreatScanner::MaxFiles;
    case CL_ETIMEOUT:
        return ThreatScanner::Stopped;
    case CL_EMEM:
        return ThreatScanner::NoMemory;
    case CL_ETMPFILE:
    case CL_ETMPDIR:
        return ThreatScanner::TmpPath;
    case CL_EOPEN:
    case CL_ESTAT:
    case CL_EREAD:
    case CL_ESEEK:
    case CL_EMAP:
        return ThreatScanner::FileRead;
    default:
        return ThreatScanner::Failed;
    }
}

FileScanResult Finish(LayerTracker& tracker, cl_error_t status, const char* threatName)
{
    // A match always passes through the callback; should a future library not do so, the
    // object itself carries it.
    if (status == CL_VIRUS && tracker.result.detections.empty())
    {
        Detection detection;
        detection.threatName = threatName ? threatName : "";
        tracker.result.detections.push_back(std::move(detection));
    }
    tracker.result.error = ResultCode(status);
    return std::move(tracker.result);
}
} // namespace

void InstallLayerCallbacks(cl_engine* engine)
{
    cl_engine_set_clcb_file_inspection(engine, OnFileInspection);
    cl_engine_set_clcb_virus_found(engine, OnVirusFound);
}

FileScanResult ScanDescriptor(const Engine& engine, const Descriptor& file, std::uint64_t size,
                              const std::string& name, bool scanArchives, ContentDigest* reads)
{
    LayerTracker tracker;
    cl_scan_options options = Options(scanArchives);
    const char* threatName = nullptr;
    unsigned long scanned = 0;
    const int fd = reads ? -1 : ScanningDescriptor(file);
    if (fd >= 0)
    {
        const cl_error_t status = cl_scandesc_callback(fd, name.c_str(), &threatName, &scanned,
                                                       engine.Handle(), &options, &tracker);
        return Finish(tracker, status, threatName);
    }
    // Where the library cannot read the system's handles itself, it reads through ours. Its
    // reader takes offsets of the C library's size, which may end at 2 GiB; a file over the
    // engine's size limit is never read, so it gets the limit's alert here, as the library
    // raises it for a descriptor it reads itself.
    int limitStatus = CL_SUCCESS;
    const long long maxFileSize =
        cl_engine_get_num(engine.Handle(), CL_ENGINE_MAX_FILESIZE, &limitStatus);
    if (limitStatus == CL_SUCCESS && maxFileSize > 0 &&
        size > static_cast<std::uint64_t>(maxFileSize))
    {
        Detection detection;
        detection.threatName = "Heuristics.Limits.Exceeded.MaxFileSize";
        tracker.result.detections.push_back(std::move(detection));
        tracker.result.error = ThreatScanner::Success;
        return std::move(tracker.result);
    }
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
    {
        tracker.result.error = ThreatScanner::FileRead;
        return std::move(tracker.result);
    }
    RecordedFile recorded{file, reads};
    cl_fmap_t* map =
        reads ? cl_fmap_open_handle(&recorded, 0, static_cast<std::size_t>(size), ReadRecording, 1)
              : cl_fmap_open_handle(const_cast<Descriptor*>(&file), 0,
                                    static_cast<std::size_t>(size), ReadMapped, 1);
    if (!map)
    {
        tracker.result.error = ThreatScanner::NoMemory;
        return std::move(tracker.result);
    }
    const cl_error_t status = cl_scanmap_callback(map, name.c_str(), &threatName, &scanned,
                                                  engine.Handle(), &options, &tracker);
    cl_fmap_close(map);
    return Finish(tracker, status, threatName);
}

FileScanResult ScanMemory(const Engine& engine, const void* data, std::size_t size,
                          const std::string& name, bool scanArchives)
{
    LayerTracker tracker;
    cl_fmap_t* map = cl_fmap_open_memory(data, size);
    if (!map)
    {
        tracker.result.error = ThreatScanner::NoMemory;
        return std::move(tracker.result);
    }
    cl_scan_options options = Options(scanArchives);
    const char* threatName = nullptr;
    unsigned long scanned = 0;
    const cl_error_t status = cl_scanmap_callback(map, name.c_str(), &threatName, &scanned,
                                                  engine.Handle(), &options, &tracker);
    cl_fmap_close(map);
    return Finish(tracker, status, threatName);
}
} // namespace ThreatScannerEngine
