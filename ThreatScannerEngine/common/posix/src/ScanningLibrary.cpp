// The scanning library (libclamav and everything it links) is loaded on first use, not with the
// engine library: when the engine service answers, the caller's process never scans, and loading
// and relocating libclamav's dependencies would cost every run several milliseconds for nothing.
// Each function that this library calls is defined here and forwards to the loaded one. The
// definitions are hidden, so nothing outside this library binds to them.
//
// When the scanning library cannot be loaded, each function fails the way it documents failure
// (an error code, a null pointer) and start-up reports that the engine could not be initialized.
#include <clamav.h>

#include <dlfcn.h>

namespace
{
void* Library()
{
    // Loaded once and kept for the life of the process: its global state (OpenSSL, the
    // engine's caches) may not be unloaded under a caller that loads this library again.
    static void* const library =
        ::dlopen(CORVANE_SCANNING_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    return library;
}

template <typename Function> Function Find(const char* name)
{
    void* const library = Library();
    return library ? reinterpret_cast<Function>(::dlsym(library, name)) : nullptr;
}
} // namespace

// Each forwarder looks its function up once; a missing function gives the failure value.
#define CORVANE_FORWARD(result, name, failure, parameters, arguments)                              \
    extern "C" result name parameters                                                              \
    {                                                                                              \
        static const auto function = Find<decltype(&name)>(#name);                                 \
        if (!function)                                                                             \
            return failure;                                                                        \
        return function arguments;                                                                 \
    }
#define CORVANE_FORWARD_VOID(name, parameters, arguments)                                          \
    extern "C" void name parameters                                                                \
    {                                                                                              \
        static const auto function = Find<decltype(&name)>(#name);                                 \
        if (function)                                                                              \
            function arguments;                                                                    \
    }

CORVANE_FORWARD(cl_error_t, cl_init, CL_EOPEN, (unsigned int options), (options))
CORVANE_FORWARD_VOID(cl_set_clcb_msg, (clcb_msg callback), (callback))
CORVANE_FORWARD(const char*, cl_retver, "unavailable", (void), ())
CORVANE_FORWARD(const char*, cl_strerror, "the scanning library could not be loaded",
                (cl_error_t error), (error))

CORVANE_FORWARD(struct cl_engine*, cl_engine_new, nullptr, (void), ())
CORVANE_FORWARD(cl_error_t, cl_engine_free, CL_ENULLARG, (struct cl_engine * engine), (engine))
CORVANE_FORWARD(cl_error_t, cl_engine_compile, CL_ENULLARG, (struct cl_engine * engine), (engine))
CORVANE_FORWARD(cl_error_t, cl_engine_set_num, CL_ENULLARG,
                (struct cl_engine * engine, enum cl_engine_field field, long long number),
                (engine, field, number))
CORVANE_FORWARD(cl_error_t, cl_engine_set_str, CL_ENULLARG,
                (struct cl_engine * engine, enum cl_engine_field field, const char* text),
                (engine, field, text))
CORVANE_FORWARD(long long, cl_engine_get_num, ((error ? * error = CL_ENULLARG : 0), -1),
                (const struct cl_engine* engine, enum cl_engine_field field, int* error),
                (engine, field, error))
CORVANE_FORWARD_VOID(cl_engine_set_clcb_file_inspection,
                     (struct cl_engine * engine, clcb_file_inspection callback), (engine, callback))
CORVANE_FORWARD_VOID(cl_engine_set_clcb_virus_found,
                     (struct cl_engine * engine, clcb_virus_found callback), (engine, callback))
CORVANE_FORWARD(cl_error_t, cl_load, CL_EOPEN,
                (const char* path, struct cl_engine* engine, unsigned int* signatures,
                 unsigned int options),
                (path, engine, signatures, options))

CORVANE_FORWARD(struct cl_cvd*, cl_cvdparse, nullptr, (const char* header), (header))
CORVANE_FORWARD(cl_error_t, cl_cvdverify, CL_EOPEN, (const char* file), (file))
CORVANE_FORWARD_VOID(cl_cvdfree, (struct cl_cvd * header), (header))

CORVANE_FORWARD(cl_fmap_t*, cl_fmap_open_handle, nullptr,
                (void* handle, size_t offset, size_t length, clcb_pread read, int aging),
                (handle, offset, length, read, aging))
CORVANE_FORWARD(cl_fmap_t*, cl_fmap_open_memory, nullptr, (const void* start, size_t length),
                (start, length))
CORVANE_FORWARD_VOID(cl_fmap_close, (cl_fmap_t * map), (map))
CORVANE_FORWARD(cl_error_t, cl_scandesc_callback, CL_EOPEN,
                (int descriptor, const char* name, const char** threat, unsigned long* scanned,
                 const struct cl_engine* engine, struct cl_scan_options* options, void* context),
                (descriptor, name, threat, scanned, engine, options, context))
CORVANE_FORWARD(cl_error_t, cl_scanmap_callback, CL_EOPEN,
                (cl_fmap_t * map, const char* name, const char** threat, unsigned long* scanned,
                 const struct cl_engine* engine, struct cl_scan_options* options, void* context),
                (map, name, threat, scanned, engine, options, context))

CORVANE_FORWARD(void*, cl_hash_init, nullptr, (const char* algorithm), (algorithm))
CORVANE_FORWARD(int, cl_update_hash, -1, (void* context, const void* data, size_t size),
                (context, data, size))
CORVANE_FORWARD(int, cl_finish_hash, -1, (void* context, void* digest), (context, digest))
CORVANE_FORWARD(unsigned char*, cl_hash_data, nullptr,
                (const char* algorithm, const void* data, size_t size, unsigned char* digest,
                 unsigned int* length),
                (algorithm, data, size, digest, length))
