#pragma once

// The system's COM error record, from compiler COM support.
#include <comdef.h>
#include <type_traits>

// The record's text is wide only in a UNICODE build (the support libraries define it).
static_assert(std::is_same_v<TCHAR, wchar_t>, "COM error texts need a UNICODE build");
