#pragma once

// Marks the library's exports; everything else stays hidden.
#ifdef _WIN32
#define UPDSDK_EXPORT extern "C" __declspec(dllexport)
#else
#define UPDSDK_EXPORT extern "C" __attribute__((visibility("default")))
#endif
