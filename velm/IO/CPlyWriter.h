#pragma once

#include "velm/IO/SPointCloud.h"

#include <string>

namespace IO
{
// Writes a point cloud as binary little-endian PLY: float x y z, then float nx ny nz and float
// confidence when the cloud has them, then the range image as a "range_grid" element (with obj_info
// num_rows and num_cols) when it has one. The file appears complete or not at all: the data goes to a
// temporary file beside the target, which is renamed over it only after everything was written.
// An inconsistent cloud or a failed write throws a VelmException naming the file.
class CPlyWriter
{
public:
    static void Write(const std::string& fileName, const SPointCloud& cloud);
};
} // namespace IO
