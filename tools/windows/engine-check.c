/*
 * Checks a freshly built Windows engine library: loads a one-line signature for the standard
 * antivirus test file, scans that file and a clean one through open descriptors, as the scanner
 * does, and exits 0 only when the test file is reported under the signature's name and the clean
 * file is not; each further file named (archives holding the test file) must be reported too.
 * Usage: engine-check <empty work folder> [file...]
 */
#include <clamav.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif

static int write_file(const char* path, const char* text)
{
    FILE* file = fopen(path, "wb");
    if (!file)
        return -1;
    size_t length = strlen(text);
    int ok = fwrite(text, 1, length, file) == length;
    return (fclose(file) == 0 && ok) ? 0 : -1;
}

/* Scans path through a descriptor; returns the engine's result and the name it reports. */
static cl_error_t scan(struct cl_engine* engine, const char* path, const char** name)
{
    struct cl_scan_options options;
    memset(&options, 0, sizeof(options));
    options.parse = ~0u;
    int fd = open(path, O_RDONLY | O_BINARY);
    if (fd < 0)
        return CL_EOPEN;
    unsigned long scanned = 0;
    *name = NULL;
    cl_error_t result = cl_scandesc(fd, path, name, &scanned, engine, &options);
    close(fd);
    return result;
}

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        fprintf(stderr, "usage: engine-check <empty work folder> [file...]\n");
        return 2;
    }
    char signatures[1024], sample[1024], clean[1024];
    snprintf(signatures, sizeof(signatures), "%s/check.ndb", argv[1]);
    snprintf(sample, sizeof(sample), "%s/sample.com", argv[1]);
    snprintf(clean, sizeof(clean), "%s/clean.txt", argv[1]);

    /* The test string is put together here rather than stored whole in a source file. */
    char test_string[128];
    snprintf(test_string, sizeof(test_string), "%s%s", "X5O!P%@AP[4\\PZX54(P^)7CC)7}$",
             "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*");
    if (write_file(signatures,
                   "Check.Test.File:0:0:58354f2150254041505b345c505a58353428505e2937434329377d24"
                   "45494341522d5354414e444152442d414e544956495255532d544553542d46494c452124482b"
                   "482a\n") != 0 ||
        write_file(sample, test_string) != 0 || write_file(clean, "nothing to see here\n") != 0)
    {
        fprintf(stderr, "cannot write the check files in %s\n", argv[1]);
        return 1;
    }

    cl_error_t result = cl_init(CL_INIT_DEFAULT);
    if (result != CL_SUCCESS)
    {
        fprintf(stderr, "cl_init: %s\n", cl_strerror(result));
        return 1;
    }
    struct cl_engine* engine = cl_engine_new();
    unsigned int count = 0;
    if (!engine)
    {
        fprintf(stderr, "cl_engine_new failed\n");
        return 1;
    }
    result = cl_load(signatures, engine, &count, CL_DB_STDOPT);
    if (result == CL_SUCCESS)
        result = cl_engine_compile(engine);
    if (result != CL_SUCCESS || count != 1)
    {
        fprintf(stderr, "loading %s: %s (%u signatures)\n", signatures, cl_strerror(result), count);
        return 1;
    }

    const char* name = NULL;
    int failed = 0;
    result = scan(engine, sample, &name);
    /* Signatures from unsigned files are reported with an ".UNOFFICIAL" suffix. */
    if (result != CL_VIRUS || !name || strncmp(name, "Check.Test.File", 15) != 0)
    {
        fprintf(stderr, "test file: %s (%s)\n", cl_strerror(result), name ? name : "no name");
        failed = 1;
    }
    result = scan(engine, clean, &name);
    if (result != CL_CLEAN)
    {
        fprintf(stderr, "clean file: %s (%s)\n", cl_strerror(result), name ? name : "no name");
        failed = 1;
    }
    for (int i = 2; i < argc; i++)
    {
        result = scan(engine, argv[i], &name);
        if (result != CL_VIRUS)
        {
            fprintf(stderr, "%s: %s\n", argv[i], cl_strerror(result));
            failed = 1;
        }
    }
    cl_engine_free(engine);
    printf("engine %s: %s\n", cl_retver(), failed ? "FAILED" : "detects the test file");
    return failed;
}
