#pragma once

#include "Folders.h"

#include <boost/filesystem/path.hpp>
#include <ostream>
#include <string>

namespace CorvaneCommandLineScanner
{
// What a job takes from the installation and the process, read once per run, so that a job
// reads no process state of its own.
struct JobEnvironment
{
    // The folder of the running executable; the libraries and every installation file are there.
    boost::filesystem::path programFolder;
    // Where the run keeps its state and finds its definitions.
    InstallationFolders folders;
    // A read-only installation writes nothing beside the executable.
    bool readOnly = false;
    // Folder the read-only engine start-up uses.
    std::wstring enginesFolder;
    // Socket of the engine service the engine hands its files to; empty when none is used.
    std::string engineService;
    // Base URL of the definitions server the update uses.
    std::string definitionsServerUrl;
    // Console output: narrow text, and wide text that reaches the same place in order.
    std::ostream* out = nullptr;
    std::wostream* wideOut = nullptr;
    // The scan result is printed as well as saved (--scan-result-stdout).
    bool resultToStdout = false;
};

// The environment of this run: the program folder, the settings of config.ini, the console, and
// whether the command line asks for the scan result on standard output.
JobEnvironment RunEnvironment();
} // namespace CorvaneCommandLineScanner
