#pragma once

#include <string>

namespace CorvaneCommandLineScanner
{
// Whether a name (in the narrow code page) is acceptable as a file name on every platform the
// program runs on: not empty, no leading or trailing blank, no control character, none of
// < > : " / \ |, and no trailing dot unless the name is "." or "..".
bool IsValidFileName(const std::string& name);

// The report file for a --scan-result value: the value itself when its last component is a
// valid file name, otherwise that path with the default file name appended.
std::wstring ReportFilePath(const std::wstring& resultPath, const std::wstring& defaultFileName);
} // namespace CorvaneCommandLineScanner
