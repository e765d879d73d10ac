#include "ExceptionHelper/Exception.h"
#include "ExceptionHelper/LastError.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <boost/locale/encoding_utf.hpp>
#include <windows.h>
#endif

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

#ifndef _WIN32
// There is no system message table here: every text is a fallback form.
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
#else
namespace
{
// The system's own text for a code, as the message table holds it (line end included).
std::wstring SystemText(HRESULT hr)
{
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const std::wstring result(text ? text : L"", length);
    ::LocalFree(text);
    return result;
}
} // namespace

TEST(ComError, TextsComeFromTheSystemWithoutTheLineEnd)
{
    const HRESULT accessDenied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    const std::wstring system = SystemText(accessDenied);
    ASSERT_GT(system.size(), 2u);
    ASSERT_EQ(system.back(), L'\n');
    const std::wstring text = _com_error(accessDenied).ErrorMessage();
    EXPECT_EQ(text, system.substr(0, system.find_last_not_of(L"\r\n") + 1));
    EXPECT_STREQ(ExceptionHelper::Com(_com_error(accessDenied)).what(),
                 boost::locale::conv::utf_to_utf<char>(text).c_str());
}

// The portable fallback texts are the platform's own for codes the system has no text for.
TEST(ComError, TextsFallBackWithoutASystemMessage)
{
    for (const unsigned long code : {0x8004FFFFUL, 0x8004FE07UL, 0xA0001234UL})
    {
        const HRESULT hr = static_cast<HRESULT>(code);
        ASSERT_EQ(SystemText(hr), L"") << std::hex << code;
        EXPECT_EQ(_com_error(hr).ErrorMessage(), ExceptionHelper::ComErrorFallbackText(hr))
            << std::hex << code;
    }
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x8004FFFF)).ErrorMessage(),
                 L"IDispatch error #65023");
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0xA0001234)).ErrorMessage(),
                 L"Unknown error 0xA0001234");
}

TEST(Exception, WindowsErrorCarriesTheFailedCallsCode)
{
    ::SetLastError(0);
    try
    {
        if (::GetFileAttributesW(L"C:\\windows\\no such file") == INVALID_FILE_ATTRIBUTES)
            BOOST_THROW_EXCEPTION(ExceptionHelper::Windows("Couldn't read attributes"));
        FAIL();
    }
    catch (const ExceptionHelper::Windows& error)
    {
        const unsigned long* code = boost::get_error_info<ExceptionHelper::ErrorInfo>(error);
        ASSERT_NE(code, nullptr);
        EXPECT_EQ(*code, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    }
    ExceptionHelper::SetLastError(ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(ExceptionHelper::LastError(), static_cast<unsigned long>(ERROR_MOD_NOT_FOUND));
}
#endif

TEST(ComError, ComExceptionCarriesTheTextAndARecordDump)
{
    const std::string text = DiagnosticOf(
        [] {
            BOOST_THROW_EXCEPTION(
                ExceptionHelper::Com(_com_error(static_cast<HRESULT>(0x8004FE07))));
        });
    EXPECT_THAT(text, HasSubstr("std::exception::what: IDispatch error #64519\n"));
    // The record has no printer: boost shows its type, size and a hex dump.
    EXPECT_THAT(text, HasSubstr("[ExceptionHelper::TagErrorInfoCom*] = "));
    EXPECT_THAT(text, HasSubstr("type: _com_error, size: "));
}
