#pragma once

#include "DllHelper/Detail/Module.h"
#include "ExceptionHelper/Exception.h"
#include "ExceptionHelper/LastError.h"

#include <boost/filesystem/path.hpp>
#include <boost/shared_ptr.hpp>
#include <string>

// Loading a library at run time and calling its exports through typed signatures.
namespace DllHelper
{
struct DllTag
{
};

namespace Detail
{
// One loaded library. Create it with boost::make_shared and keep the shared_ptr for as long as
// any export bound from it is called.
template <typename Tag> class Dll
{
public:
    explicit Dll(const boost::filesystem::path& libraryPath)
    {
        module = OpenModule(libraryPath);
        if (!module)
        {
            // Converting the path may itself touch the thread's last error; the load's code is
            // the one to report.
            const unsigned long error = ExceptionHelper::LastError();
            const std::string message = libraryPath.string();
            ExceptionHelper::SetLastError(error);
            BOOST_THROW_EXCEPTION(ExceptionHelper::Windows(message));
        }
        path = libraryPath;
    }

    ~Dll()
    {
        if (module)
        {
            // A destructor cannot pass the error on; a failed unload only leaves the library
            // mapped until the process ends.
            CloseModule(module);
            module = nullptr;
        }
        path.clear();
    }

    Dll(const Dll&) = delete;
    Dll& operator=(const Dll&) = delete;

    ModuleHandle Handle() const { return module; }
    const boost::filesystem::path& Path() const { return path; }

private:
    ModuleHandle module = nullptr;
    boost::filesystem::path path;
};

template <typename Signature, int = 0> class DllFunction;

// One export of a loaded library, bound by name. It keeps no reference to its library: the
// caller keeps the library's shared_ptr alive while it calls through the function.
template <typename Result, typename... Args> class DllFunction<Result(Args...), 0>
{
public:
    using Signature = Result(Args...);

    DllFunction(boost::shared_ptr<Dll<DllTag>> dll, const std::string& exportName)
    {
        if (!dll)
            BOOST_THROW_EXCEPTION(ExceptionHelper::Exception(exportName));
        function = reinterpret_cast<Signature*>(FindExport(dll->Handle(), exportName));
        if (!function)
            BOOST_THROW_EXCEPTION(ExceptionHelper::Windows(exportName));
    }

    Result operator()(Args... args) const { return function(args...); }

private:
    Signature* function = nullptr;
};
} // namespace Detail
} // namespace DllHelper
