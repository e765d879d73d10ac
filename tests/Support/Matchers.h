#pragma once

#include <boost/filesystem/path.hpp>
#include <gmock/gmock.h>
#include <regex>
#include <string>

namespace CorvaneTest
{
// The whole text matches a POSIX extended regular expression ('.' matches a line end too).
// GoogleTest's own MatchesRegex understands only a small syntax of its own on Windows.
MATCHER_P(MatchesRegex, pattern, "matches regular expression \"" + std::string(pattern) + "\"")
{
    return std::regex_match(std::string(arg),
                            std::regex(std::string(pattern), std::regex::extended));
}

// Text with the characters that are special in a regular expression escaped.
inline std::string RegexEscaped(const std::string& text)
{
    return std::regex_replace(text, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&");
}

// The platform's path separator, as boost::filesystem joins paths with it.
inline std::string PathSeparator()
{
    return std::string(1, static_cast<char>(boost::filesystem::path::preferred_separator));
}
} // namespace CorvaneTest
