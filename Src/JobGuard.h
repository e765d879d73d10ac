#pragma once

#include "ConsoleHelper/Console.h"
#include "Logger.h"

#include <boost/exception/diagnostic_information.hpp>

namespace CorvaneCommandLineScanner
{
// Runs a job; an error of the boost exception family is logged with its diagnostic text and
// printed after the job's sentence (for example "Couldn't perform scan. Error: ").
template <typename Job> void RunGuarded(const char* sentence, Job&& job)
{
    try
    {
        job();
    }
    catch (const boost::exception&)
    {
        const std::string diagnostic = boost::current_exception_diagnostic_information();
        Log(L"Error", diagnostic);
        ConsoleHelper::Out() << sentence << diagnostic;
    }
}
} // namespace CorvaneCommandLineScanner
