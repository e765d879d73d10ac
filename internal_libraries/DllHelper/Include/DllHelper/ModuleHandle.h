#pragma once

namespace DllHelper
{
// A loaded library as the platform's loader knows it (HMODULE on Windows, the dlopen handle
// elsewhere). A null handle stands for the running program where a caller accepts one.
using ModuleHandle = void*;
} // namespace DllHelper
