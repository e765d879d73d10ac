#pragma once

#include <boost/filesystem/path.hpp>

namespace CorvaneCommandLineScanner
{
// The folder of the running executable; every installation file is found from it.
boost::filesystem::path ProgramFolder();

// The all-users application data folder.
boost::filesystem::path CommonAppData();

// CommonAppData/Corvane/Corvane antivirus.
boost::filesystem::path ProductDataFolder();
} // namespace CorvaneCommandLineScanner
