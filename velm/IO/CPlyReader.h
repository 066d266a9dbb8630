#pragma once

#include "velm/IO/SPointCloud.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace IO
{
// Reads PLY files in any of the three encodings (ascii, binary_little_endian, binary_big_endian) with
// any elements and properties, list properties included. The element "vertex" must have x, y and z;
// nx, ny, nz and a confidence ("confidence", "quality" or "intensity", first found) are taken when
// present. A "range_grid" element (one list of zero or one vertex index per cell) becomes the range
// image when obj_info num_rows and num_cols give its size.
//
// Every fault throws a VelmException that names the file, the header or ascii line or the binary byte
// offset, and what is wrong. Non-finite coordinates, normals or confidences are faults.
class CPlyReader
{
public:
    static SPointCloud Read(const std::string& fileName);
    // The same from bytes in memory; fileName only names the source in messages.
    static SPointCloud Parse(const uint8_t* data, size_t size, const std::string& fileName);
};
} // namespace IO
