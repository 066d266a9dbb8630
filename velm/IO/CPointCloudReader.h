#pragma once

#include "velm/IO/SPointCloud.h"

#include <string>

namespace IO
{
// Reads a point file of either kind: a file that starts with the PLY magic line, or whose name ends in
// ".ply", is read as PLY; everything else as XYZ text.
class CPointCloudReader
{
public:
    static SPointCloud Read(const std::string& fileName);
};
} // namespace IO
