#include "DefinitionsSet/DefinitionsSet.h"

#include "FileSystemHelper/OpenFile.h"
#include "FileSystemHelper/Text.h"

#include <clamav.h>
#include <cstdio>
#include <memory>
#include <mutex>

namespace DefinitionsSet
{
namespace
{
// libclamav writes its warnings to standard error unless told otherwise; the program owns the
// console, so they are dropped.
void IgnoreMessage(enum cl_msg, const char*, const char*, void*) {}

using EngineHandle = std::unique_ptr<cl_engine, decltype(&cl_engine_free)>;

constexpr std::size_t HeaderBytes = 512;
} // namespace

bool InitializeEngineLibrary()
{
    static std::once_flag once;
    static cl_error_t result = CL_SUCCESS;
    std::call_once(once,
                   []
                   {
                       cl_set_clcb_msg(IgnoreMessage);
                       result = cl_init(CL_INIT_DEFAULT);
                   });
    return result == CL_SUCCESS;
}

std::optional<DatabaseHeader> ParseDatabaseHeader(const std::string& bytes)
{
    if (bytes.size() < HeaderBytes)
        return std::nullopt;
    // libclamav's own header reader, given the header as libclamav trims it: without the
    // padding and without anything from a NUL on.
    std::string text = bytes.substr(0, HeaderBytes);
    text = text.c_str();
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n'))
        text.pop_back();
    std::unique_ptr<cl_cvd, decltype(&cl_cvdfree)> parsed(cl_cvdparse(text.c_str()), &cl_cvdfree);
    if (!parsed)
        return std::nullopt;
    return DatabaseHeader{parsed->version, parsed->sigs, parsed->fl, parsed->stime};
}

std::optional<DatabaseHeader> ReadDatabaseHeader(const std::string& path)
{
    // By its wide name: on Windows a narrow name goes through the ANSI code page, which cannot
    // spell every UTF-8 path.
    std::unique_ptr<std::FILE, decltype(&std::fclose)> file(
        FileSystemHelper::OpenFile(FileSystemHelper::ToWide(path, FileSystemHelper::CodePageUtf8),
                                   L"rb"),
        &std::fclose);
    if (!file)
        return std::nullopt;
    std::string bytes(HeaderBytes, '\0');
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
        return std::nullopt;
    return ParseDatabaseHeader(bytes);
}

Verdict VerifyDatabase(const std::string& path, DatabaseForm form, DatabaseHeader& header)
{
    if (!InitializeEngineLibrary())
        return Verdict::Unreadable;
    // libclamav picks the checks by the file's extension; a name that does not say the form
    // would be checked as the wrong one.
    const std::string extension = form == DatabaseForm::Signed ? ".cvd" : ".cld";
    if (path.size() < extension.size() ||
        path.compare(path.size() - extension.size(), extension.size(), extension) != 0)
        return Verdict::Malformed;
    const auto read = ReadDatabaseHeader(path);
    if (!read)
        return Verdict::Malformed;
    switch (cl_cvdverify(path.c_str()))
    {
    case CL_SUCCESS:
        header = *read;
        return Verdict::Good;
    case CL_EOPEN:
    case CL_EREAD:
        return Verdict::Unreadable;
    case CL_EVERIFY:
        return Verdict::Unverified;
    default:
        return Verdict::Malformed;
    }
}

LoadResult Load(cl_engine* engine, const std::string& folder)
{
    LoadResult result;
    const std::vector<std::string> files = FilesToLoad(folder);
    if (files.empty())
    {
        result.missing = true;
        return result;
    }
    for (const std::string& file : files)
    {
        const cl_error_t loaded = cl_load(file.c_str(), engine, &result.signatures, CL_DB_STDOPT);
        if (loaded != CL_SUCCESS)
        {
            result.error = loaded;
            result.missing = loaded == CL_EOPEN && file == folder;
            result.failedFile = file;
            return result;
        }
    }
    return result;
}

std::string Check(const std::string& folder)
{
    if (!InitializeEngineLibrary())
        return "libclamav does not start";
    EngineHandle engine(cl_engine_new(), &cl_engine_free);
    if (!engine)
        return "libclamav cannot create an engine";
    const LoadResult loaded = Load(engine.get(), folder);
    if (loaded.missing)
        return "the definitions folder cannot be read";
    if (loaded.error != CL_SUCCESS)
        return std::string("the engine cannot load the definitions: ") +
               cl_strerror(static_cast<cl_error_t>(loaded.error));
    if (loaded.signatures == 0)
        return "the definitions hold no signatures";
    const cl_error_t compiled = cl_engine_compile(engine.get());
    if (compiled != CL_SUCCESS)
        return std::string("the engine cannot compile the definitions: ") + cl_strerror(compiled);
    return {};
}
} // namespace DefinitionsSet
