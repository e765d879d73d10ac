#include "DllHelper/Dll.h"

#include "Installation.h"

#include <boost/filesystem/operations.hpp>
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

using Dll = DllHelper::Library;

namespace
{
// The test library's exports as a table.
struct TestExports
{
    int (*Add)(int, int) = nullptr;
};
using TestLibrary = DllHelper::BoundLibrary<TestExports>;

template <typename Find> TestExports BindTest(Find&& find)
{
    return {reinterpret_cast<int (*)(int, int)>(find("Add"))};
}

TestLibrary LoadTest(const boost::filesystem::path& path)
{
    return TestLibrary::Load(path, [](auto find) { return BindTest(find); });
}

#ifdef _WIN32
bool IsLoaded(const boost::filesystem::path& path)
{
    return ::GetModuleHandleW(boost::filesystem::path(path).make_preferred().c_str()) != nullptr;
}
#else
bool IsLoaded(const boost::filesystem::path& path)
{
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
        return false;
    ::dlclose(handle);
    return true;
}
#endif

template <typename Error, typename Function> Error Catch(Function&& function)
{
    try
    {
        function();
    }
    catch (const Error& error)
    {
        return error;
    }
    ADD_FAILURE() << "nothing thrown";
    return Error("");
}
} // namespace

TEST(Dll, BindsAndCallsAnExport)
{
    const TestLibrary library = LoadTest(TEST_LIBRARY_PATH);
    EXPECT_EQ(library->Add(2, 3), 5);
    EXPECT_EQ(library.Owner()->Path(), boost::filesystem::path(TEST_LIBRARY_PATH));
}

TEST(Dll, MissingLibraryNamesThePathWithTheLoadError)
{
    const std::string path = "/nonexistent/folder/scan.dll";
    const auto error = Catch<ExceptionHelper::Windows>(
        [&] { boost::make_shared<Dll>(boost::filesystem::path(path)); });
    EXPECT_EQ(error.what(), path);
    ASSERT_NE(boost::get_error_info<ExceptionHelper::ErrorInfo>(error), nullptr);
    EXPECT_EQ(*boost::get_error_info<ExceptionHelper::ErrorInfo>(error), 126u);
}

TEST(Dll, MissingExportNamesTheExportWithTheLookupError)
{
    const auto error = Catch<ExceptionHelper::Windows>(
        []
        {
            TestLibrary::Load(TEST_LIBRARY_PATH,
                              [](auto find)
                              {
                                  find("Sum");
                                  return BindTest(find);
                              });
        });
    EXPECT_STREQ(error.what(), "Sum");
    ASSERT_NE(boost::get_error_info<ExceptionHelper::ErrorInfo>(error), nullptr);
    EXPECT_EQ(*boost::get_error_info<ExceptionHelper::ErrorInfo>(error), 127u);
}

TEST(Dll, FunctionsOfNoLibraryAreCalledWithoutOwner)
{
    const TestLibrary own(TestExports{[](int a, int b) { return a * b; }});
    EXPECT_EQ(own->Add(6, 7), 42);
    EXPECT_EQ(own.Owner(), nullptr);
}

// Every copy of a bound table co-owns the library: it is freed with the last one only.
TEST(Dll, LibraryIsFreedWhenTheLastOwnerLetsGo)
{
    ASSERT_FALSE(IsLoaded(TEST_LIBRARY_PATH));
    auto first = boost::make_shared<Dll>(TEST_LIBRARY_PATH);
    auto second = first;
    first.reset();
    EXPECT_TRUE(IsLoaded(TEST_LIBRARY_PATH));
    second.reset();
    EXPECT_FALSE(IsLoaded(TEST_LIBRARY_PATH));

    auto table = std::make_unique<TestLibrary>(LoadTest(TEST_LIBRARY_PATH));
    const TestLibrary copy = *table;
    table.reset();
    EXPECT_TRUE(IsLoaded(TEST_LIBRARY_PATH));
    EXPECT_EQ(copy->Add(1, 1), 2);
}

#ifdef _WIN32
// Paths reach the loader as UTF-16, so a folder name outside the ANSI code page still loads.
TEST(Dll, LoadsFromAFolderWithCharactersOutsideTheAnsiCodePage)
{
    const CorvaneTest::TemporaryFolder folder;
    const boost::filesystem::path copy =
        folder.Path() / boost::filesystem::path(L"Corvane \u4e2d\u00e9") / "scan.dll";
    boost::filesystem::create_directories(copy.parent_path());
    boost::filesystem::copy_file(TEST_LIBRARY_PATH, copy);
    {
        const TestLibrary library = LoadTest(copy);
        EXPECT_EQ(library->Add(40, 2), 42);
        EXPECT_TRUE(IsLoaded(copy));
    }
    EXPECT_FALSE(IsLoaded(copy));
}
#endif
