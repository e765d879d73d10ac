#pragma once

// Marks a function that a library exports by its C name. The libraries are built with hidden
// visibility (and on Linux an export map where one is given), so nothing else leaves them.
#ifdef _WIN32
#define CORVANE_EXPORT extern "C" __declspec(dllexport)
#else
#define CORVANE_EXPORT extern "C" __attribute__((visibility("default")))
#endif
