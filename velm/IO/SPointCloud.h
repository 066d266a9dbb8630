#pragma once

#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <string>
#include <vector>

namespace IO
{
// The points of one scan as read from a file. Optional parts are empty when the file does not have them;
// when present they have one entry per point.
struct SPointCloud
{
    std::vector<CbVector3f> vecPositions;
    // Normals as stored in the file (not normalised; a zero vector means the file gave no direction).
    std::vector<CbVector3f> vecNormals;
    // Per-point confidence (a PLY "confidence", "quality" or "intensity" property), as stored.
    std::vector<float> vecConfidence;

    // The scanner's range image, when the file has one: uiGridRows x uiGridCols cells, row by row, each
    // holding the index of the point seen through that cell or -1 for a cell without a point.
    uint32_t uiGridRows = 0;
    uint32_t uiGridCols = 0;
    std::vector<int32_t> vecGrid;

    // Keywords of header lines the reader did not know and skipped (lines before the first element
    // only), each named once, for the caller to report.
    std::vector<std::string> vecSkippedHeaderKeywords;

    size_t GetCount() const { return vecPositions.size(); }
    bool HasNormals() const { return !vecNormals.empty(); }
    bool HasConfidence() const { return !vecConfidence.empty(); }
    bool HasGrid() const { return !vecGrid.empty(); }
};
} // namespace IO
