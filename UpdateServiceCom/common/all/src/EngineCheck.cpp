#include "EngineCheck.h"

#include "Crypto.h"
#include "Failure.h"
#include "Platform.h"

#include <clamav.h>
#include <memory>
#include <mutex>

namespace UpdateServiceCom
{
namespace
{
// libclamav writes its warnings to standard error unless told otherwise; the program owns the
// console, so they are dropped.
void IgnoreMessage(enum cl_msg, const char*, const char*, void*) {}

using EngineHandle = std::unique_ptr<cl_engine, decltype(&cl_engine_free)>;
} // namespace

void CheckEngineLoads(const std::filesystem::path& folder)
{
    static std::once_flag once;
    static cl_error_t initialized = CL_SUCCESS;
    std::call_once(once,
                   []
                   {
                       if (!InitializeCrypto())
                           initialized = CL_EARG;
                       else
                           initialized = cl_init(CL_INIT_DEFAULT);
                   });
    if (initialized != CL_SUCCESS)
        throw Failure(Internal, "Couldn't start the engine's loader");
    cl_set_clcb_msg(IgnoreMessage);

    EngineHandle engine(cl_engine_new(), &cl_engine_free);
    if (!engine)
        throw Failure(Internal, "Couldn't create an engine to check the definitions");
    // The same load and the same rules as the engine's start-up: the set must load without
    // error, hold at least one signature and compile.
    unsigned int signatures = 0;
    for (const std::string& path : Platform::DefinitionsToLoad(folder))
    {
        const cl_error_t loaded = cl_load(path.c_str(), engine.get(), &signatures, CL_DB_STDOPT);
        if (loaded != CL_SUCCESS)
            throw Failure(DefinitionsRejected,
                          std::string("The engine cannot load the new definitions: ") +
                              cl_strerror(loaded));
    }
    if (signatures == 0)
        throw Failure(DefinitionsRejected, "The new definitions hold no signatures");
    const cl_error_t compiled = cl_engine_compile(engine.get());
    if (compiled != CL_SUCCESS)
        throw Failure(DefinitionsRejected,
                      std::string("The engine cannot compile the new definitions: ") +
                          cl_strerror(compiled));
}
} // namespace UpdateServiceCom
