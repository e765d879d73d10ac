#pragma once

#include "Singleton.h"

#include "FileSystemHelper/HeldFile.h"

#include <boost/filesystem/path.hpp>
#include <fstream>
#include <string>

namespace CorvaneCommandLineScanner
{
// The run's log file, Logs/<UTC time>.txt beside the executable. One line per Write, flushed at
// once; nothing is written until Init has named the file.
class Logger : public Singleton<Logger>
{
public:
    // Empties the Logs folder beside the executable, leaving the logs of other running
    // processes, and names this run's file. Never throws.
    void Init();
    // The same for the Logs folder under the given folder.
    void Init(const boost::filesystem::path& folder);

    // Appends one line (severity word, ": ", message, without the end of line). Lines that
    // cannot be written are dropped.
    void Write(const std::wstring& line);

    const boost::filesystem::path& FilePath() const { return filePath; }

private:
    boost::filesystem::path filePath;
    FileSystemHelper::HeldFile held;
    std::wofstream file;
};

// Builds "<severity>: <message>" from any streamable pieces and writes it to the log.
template <typename... Pieces> void Log(const wchar_t* severity, const Pieces&... pieces);
} // namespace CorvaneCommandLineScanner

#include "LogLine.h"
