#pragma once

#include <string>

namespace CorvaneTest
{
// The endpoint the client under test calls.
extern std::string componentsServiceUrl;
} // namespace CorvaneTest
