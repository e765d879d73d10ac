#pragma once

#include "ExceptionHelper/ComError.h"

#include <boost/current_function.hpp>
#include <boost/exception/all.hpp>
#include <boost/throw_exception.hpp>
#include <stdexcept>
#include <string>

// Throw sites record the compiler's full signature of the enclosing function (Boost's own
// default records only its bare name on this compiler).
#undef BOOST_THROW_EXCEPTION
#define BOOST_THROW_EXCEPTION(x)                                                                   \
    ::boost::throw_exception(x,                                                                    \
                             ::boost::source_location(__FILE__, __LINE__, BOOST_CURRENT_FUNCTION))

// The error types of the whole program. Throw them with BOOST_THROW_EXCEPTION so that every
// error records the throwing function, file and line; report them with
// boost::current_exception_diagnostic_information().
namespace ExceptionHelper
{
struct TagError
{
};
struct TagErrorInfoCom
{
};

// A system error code (the thread's last error right after the failing call).
using ErrorInfo = boost::error_info<TagError, unsigned long>;
// A copy of the COM error record; it has no printer, so diagnostics show a hex dump of it.
using ErrorInfoCom = boost::error_info<TagErrorInfoCom, _com_error>;

// An error with a message. The message is held by the standard base (std::exception cannot
// own a text on every standard library, so the runtime_error refinement of it holds it).
struct Exception : std::runtime_error, boost::exception
{
    explicit Exception(const std::string& message);
};

// An error of a system call: the message plus the thread's last error code as ErrorInfo.
struct Windows : Exception
{
    explicit Windows(const std::string& message);
};

// A COM error: its text as the message (UTF-8) and a copy of the record as ErrorInfoCom.
struct Com : Exception
{
    explicit Com(const _com_error& error);
};
} // namespace ExceptionHelper
