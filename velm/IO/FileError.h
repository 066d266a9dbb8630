#pragma once

#include "velm/Frame/VelmException.h"

#include <cstdint>
#include <string>

namespace IO
{
// Builds the messages of the point-cloud readers and writer, which always name the file and, where it
// helps, the place in it, so that a user can find the fault with a text editor or a hex viewer.
// Each throws a VelmException whose source file and line are given, as VELM_HERE gives them.
[[noreturn]] void ThrowFileError(const char* sourceFile, uint32_t sourceLine, const char* function,
                                 const std::string& fileName, const std::string& what);
[[noreturn]] void ThrowFileErrorAtLine(const char* sourceFile, uint32_t sourceLine, const char* function,
                                       const std::string& fileName, uint64_t line, const std::string& what);
[[noreturn]] void ThrowFileErrorAtOffset(const char* sourceFile, uint32_t sourceLine, const char* function,
                                         const std::string& fileName, uint64_t offset, const std::string& what);

// The whole content of a file; a file that cannot be opened or read throws, naming it.
std::string ReadWholeFile(const std::string& fileName);

// Writes the bytes to a temporary file beside the target and renames it over the target only when
// everything was written: readers see the old file or the complete new one, never a partial file.
// A failure throws, naming the file, and leaves no temporary file behind.
void WriteWholeFile(const std::string& fileName, const void* data, size_t size);
} // namespace IO
