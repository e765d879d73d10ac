#pragma once

#include <string>
#include <utility>
#include <vector>

namespace CorvaneTest
{
// Registers a product as installed where the system has no installer database: writes (or
// replaces) its record file in the all-users data folder. Throws ExceptionHelper::Exception
// "Couldn't write product record" when the code is not a product code in braces or the record
// cannot be written.
void RegisterProduct(const std::wstring& code,
                     const std::vector<std::pair<std::wstring, std::wstring>>& properties);
} // namespace CorvaneTest
