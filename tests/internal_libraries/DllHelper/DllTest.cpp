#include "DllHelper/Dll.h"

#include <boost/make_shared.hpp>
#include <dlfcn.h>
#include <gtest/gtest.h>

using Dll = DllHelper::Detail::Dll<DllHelper::DllTag>;
template <typename Signature> using DllFunction = DllHelper::Detail::DllFunction<Signature>;

namespace
{
bool IsLoaded(const char* path)
{
    void* handle = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
        return false;
    ::dlclose(handle);
    return true;
}

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
    const auto dll = boost::make_shared<Dll>(TEST_LIBRARY_PATH);
    EXPECT_EQ(DllFunction<int(int, int)>(dll, "Add")(2, 3), 5);
    EXPECT_EQ(dll->Path(), boost::filesystem::path(TEST_LIBRARY_PATH));
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
    const auto dll = boost::make_shared<Dll>(TEST_LIBRARY_PATH);
    const auto error = Catch<ExceptionHelper::Windows>(
        [&] { DllFunction<int()>(dll, "ThreatScanner_Uninitialize"); });
    EXPECT_STREQ(error.what(), "ThreatScanner_Uninitialize");
    ASSERT_NE(boost::get_error_info<ExceptionHelper::ErrorInfo>(error), nullptr);
    EXPECT_EQ(*boost::get_error_info<ExceptionHelper::ErrorInfo>(error), 127u);
}

TEST(Dll, EmptyOwnerIsAPlainErrorWithoutCode)
{
    const auto error = Catch<ExceptionHelper::Exception>(
        [] { DllFunction<int(int, int)>(boost::shared_ptr<Dll>(), "Add"); });
    EXPECT_STREQ(error.what(), "Add");
    EXPECT_EQ(boost::get_error_info<ExceptionHelper::ErrorInfo>(error), nullptr);
}

TEST(Dll, LibraryIsFreedWhenTheLastOwnerLetsGo)
{
    ASSERT_FALSE(IsLoaded(TEST_LIBRARY_PATH));
    auto first = boost::make_shared<Dll>(TEST_LIBRARY_PATH);
    auto second = first;
    first.reset();
    EXPECT_TRUE(IsLoaded(TEST_LIBRARY_PATH));
    second.reset();
    EXPECT_FALSE(IsLoaded(TEST_LIBRARY_PATH));
}
