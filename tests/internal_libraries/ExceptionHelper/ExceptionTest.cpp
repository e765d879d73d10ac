#include "ExceptionHelper/Exception.h"
#include "ExceptionHelper/LastError.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::HasSubstr;

namespace
{
void ThrowWindowsError(unsigned long code)
{
    ExceptionHelper::SetLastError(code);
    BOOST_THROW_EXCEPTION(ExceptionHelper::Windows("Couldn't get file size"));
}

template <typename Function> std::string DiagnosticOf(Function&& function)
{
    try
    {
        function();
    }
    catch (const boost::exception&)
    {
        return boost::current_exception_diagnostic_information();
    }
    return {};
}
} // namespace

TEST(Exception, DiagnosticNamesThrowSiteTypeMessageAndErrorCode)
{
    const std::string text = DiagnosticOf([] { ThrowWindowsError(5); });
    EXPECT_THAT(text, HasSubstr("ExceptionTest.cpp("));
    EXPECT_THAT(
        text,
        HasSubstr("Throw in function void {anonymous}::ThrowWindowsError(long unsigned int)"));
    EXPECT_THAT(text,
                HasSubstr("Dynamic exception type: boost::wrapexcept<ExceptionHelper::Windows>"));
    EXPECT_THAT(text, HasSubstr("std::exception::what: Couldn't get file size\n"));
    EXPECT_THAT(text, HasSubstr("[ExceptionHelper::TagError*] = 5\n"));
}

TEST(Exception, WindowsErrorAlwaysCarriesTheCodeEvenWhenZero)
{
    try
    {
        ThrowWindowsError(0);
        FAIL();
    }
    catch (const ExceptionHelper::Windows& error)
    {
        const unsigned long* code = boost::get_error_info<ExceptionHelper::ErrorInfo>(error);
        ASSERT_NE(code, nullptr);
        EXPECT_EQ(*code, 0u);
    }
}

TEST(Exception, PlainExceptionHasNoCodeAndSurvivesCopyAndRethrow)
{
    boost::exception_ptr captured;
    try
    {
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't create scanner. Error: -1"));
    }
    catch (...)
    {
        captured = boost::current_exception();
    }
    try
    {
        boost::rethrow_exception(captured);
    }
    catch (const ExceptionHelper::Exception& error)
    {
        const ExceptionHelper::Exception copy(error);
        EXPECT_STREQ(copy.what(), "Couldn't create scanner. Error: -1");
        EXPECT_EQ(boost::get_error_info<ExceptionHelper::ErrorInfo>(copy), nullptr);
        EXPECT_NE(*boost::get_error_info<boost::throw_line>(copy), 0);
        EXPECT_THAT(boost::diagnostic_information(copy), HasSubstr("PlainExceptionHasNoCode"));
        EXPECT_THAT(boost::diagnostic_information(copy),
                    HasSubstr("Throw in function virtual void "));
    }
}

TEST(ComError, TextsFallBackWithoutASystemMessage)
{
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x80040205)).ErrorMessage(),
                 L"IDispatch error #5");
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x8004FFFF)).ErrorMessage(),
                 L"IDispatch error #65023");
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x80040200)).ErrorMessage(),
                 L"Unknown error 0x80040200");
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x80010106)).ErrorMessage(),
                 L"Unknown error 0x80010106");
    EXPECT_STREQ(_com_error(1).ErrorMessage(), L"Unknown error 0x1");
}

TEST(ComError, ComExceptionCarriesTheTextAndARecordDump)
{
    const std::string text = DiagnosticOf(
        [] {
            BOOST_THROW_EXCEPTION(
                ExceptionHelper::Com(_com_error(static_cast<HRESULT>(0x80040207))));
        });
    EXPECT_THAT(text, HasSubstr("std::exception::what: IDispatch error #7\n"));
    // The record has no printer: boost shows its type, size and a hex dump.
    EXPECT_THAT(text, HasSubstr("[ExceptionHelper::TagErrorInfoCom*] = "));
    EXPECT_THAT(text, HasSubstr("type: _com_error, size: "));
}
