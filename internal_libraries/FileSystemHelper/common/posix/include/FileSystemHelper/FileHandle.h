#pragma once

namespace FileSystemHelper
{
// An open file's descriptor.
using FileHandle = int;
} // namespace FileSystemHelper
