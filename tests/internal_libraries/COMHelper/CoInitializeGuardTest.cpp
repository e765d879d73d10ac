#include "COMHelper/CoInitializeGuard.h"

#include "ExceptionHelper/Exception.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

#ifdef _WIN32
#include <objbase.h>
#endif

namespace
{
// COM state is per thread: each case runs on a fresh one.
template <typename Function> void OnNewThread(Function function)
{
    std::thread(function).join();
}
} // namespace

TEST(CoInitializeGuard, NestedGuardsInitialiseAndReleaseInPairs)
{
    OnNewThread(
        []
        {
            {
                const COMHelper::CoInitializeGuard outer;
                {
                    const COMHelper::CoInitializeGuard inner;
                }
#ifdef _WIN32
                // Still in the multithreaded apartment after the inner guard ended.
                EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
                ::CoUninitialize();
#endif
            }
#ifdef _WIN32
            // Every guard released its initialisation: the thread may choose another apartment.
            EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
            ::CoUninitialize();
#endif
        });
}

#ifdef _WIN32
TEST(CoInitializeGuard, ThreadInAnotherApartmentThrowsTheComError)
{
    OnNewThread(
        []
        {
            ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
            try
            {
                const COMHelper::CoInitializeGuard guard;
                ADD_FAILURE();
            }
            catch (const ExceptionHelper::Com& error)
            {
                const _com_error* record =
                    boost::get_error_info<ExceptionHelper::ErrorInfoCom>(error);
                ASSERT_NE(record, nullptr);
                EXPECT_EQ(record->Error(), RPC_E_CHANGED_MODE);
                EXPECT_THAT(boost::diagnostic_information(error),
                            testing::HasSubstr("COMHelper::Detail::MultiThreaded::Init()"));
            }
            // The failed guard released nothing: the thread is still in its apartment.
            EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
            ::CoUninitialize();
            ::CoUninitialize();
        });
}
#endif
