#pragma once

#include "Singleton.h"

#include "FileSystemHelper/HeldFile.h"

#include <boost/filesystem/path.hpp>
#include <cstdio>
#include <string>

namespace CorvaneCommandLineScanner
{
// The run's log file, Logs/<UTC time>.txt beside the executable. One line per Write, flushed at
// once; nothing is written until Init has named the file.
//
// A running process holds its log: from the moment the file is created until the process ends,
// it keeps a shared flock on it (on Windows, the open file). Init removes from Logs only what no
// process holds, taking the exclusive lock of a file before it removes it, so a running scan's
// log is never deleted by a second run of the same installation.
class Logger : public Singleton<Logger>
{
public:
    Logger() = default;
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Empties the Logs folder of the installation's state folder (beside the executable, or the
    // user's own for an installation for every user), leaving the logs of other running
    // processes, and names this run's file. Never throws.
    void Init();
    // The same for the Logs folder under the given folder.
    void Init(const boost::filesystem::path& folder);

    // Appends one line (severity word, ": ", message, without the end of line) as UTF-8; a lone
    // surrogate shows as U+FFFD. The file is created new, private to the owner, at the first
    // line; a name taken by anything (a planted link or FIFO) is never written through. Lines
    // that cannot be written are dropped.
    void Write(const std::wstring& line);

    const boost::filesystem::path& FilePath() const { return filePath; }

private:
    boost::filesystem::path filePath;
    FileSystemHelper::HeldFile held;
    std::FILE* file = nullptr;
};

// Builds "<severity>: <message>" from any streamable pieces and writes it to the log.
template <typename... Pieces> void Log(const wchar_t* severity, const Pieces&... pieces);
} // namespace CorvaneCommandLineScanner

#include "LogLine.h"
