#pragma once

#include "velm/IO/SPointCloud.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace IO
{
// Reads text point files: one point per line as "x y z" or "x y z nx ny nz" (blanks, tabs or commas
// between the numbers), every line of a file with the same number of values. '#' starts a comment that
// runs to the end of the line; empty lines are skipped. Faults throw a VelmException naming the file,
// the line and what is wrong.
class CXyzReader
{
public:
    static SPointCloud Read(const std::string& fileName);
    static SPointCloud Parse(const uint8_t* data, size_t size, const std::string& fileName);
};
} // namespace IO
