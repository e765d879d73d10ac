#pragma once

namespace FileSystemHelper
{
// An open file's HANDLE.
using FileHandle = void*;
} // namespace FileSystemHelper
