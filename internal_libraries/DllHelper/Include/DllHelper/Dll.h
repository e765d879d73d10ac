#pragma once

#include "DllHelper/Detail/Module.h"
#include "ExceptionHelper/Exception.h"
#include "ExceptionHelper/LastError.h"

#include <boost/filesystem/path.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <string>

// Loading a library at run time and calling its exports through a typed table.
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

// The address of the library's export of this name. Throws ExceptionHelper::Windows with the
// name and the loader's code when there is none.
inline void* ExportAddress(const Dll<DllTag>& dll, const char* exportName)
{
    void* address = FindExport(dll.Handle(), exportName);
    if (!address)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Windows(exportName));
    return address;
}
} // namespace Detail

using Library = Detail::Dll<DllTag>;

// A library's exports as a typed table (Table: a struct of function pointers, bound by a binding
// function of the library's interface). Every copy co-owns the library, so the library stays
// loaded for as long as any copy of the table can be called through.
template <typename Table> class BoundLibrary
{
public:
    // Functions that belong to no loaded library (the program's own, or a test's stand-ins).
    explicit BoundLibrary(const Table& functions = Table()) : functions(functions) {}

    // Loads the library and binds every export at once: bind(find) returns the table, where
    // find(name) gives the address of an export and throws when there is none. Throws what
    // loading and binding throw.
    template <typename Bind>
    static BoundLibrary Load(const boost::filesystem::path& path, Bind bind)
    {
        BoundLibrary bound;
        const auto library = boost::make_shared<const Library>(path);
        bound.functions =
            bind([&library](const char* name) { return Detail::ExportAddress(*library, name); });
        bound.library = library;
        return bound;
    }

    const Table& operator*() const { return functions; }
    const Table* operator->() const { return &functions; }

    // The loaded library, or null for functions of no library.
    const boost::shared_ptr<const Library>& Owner() const { return library; }

private:
    boost::shared_ptr<const Library> library;
    Table functions;
};
} // namespace DllHelper
