#include "velm/IO/CPlyWriter.h"

#include "velm/IO/FileError.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace IO
{
namespace
{

[[noreturn]] void Fail(const std::string& fileName, const std::string& what)
{
    ThrowFileError(VELM_HERE, "IO::CPlyWriter::Write", fileName, what);
}

void Validate(const std::string& fileName, const SPointCloud& c)
{
    const size_t n = c.vecPositions.size();
    if (n == 0)
        Fail(fileName, "nothing to write: the point cloud is empty");
    if (n > 0x7FFFFFFFu)
        Fail(fileName, "too many points for 32-bit vertex indices");
    if (!c.vecNormals.empty() && c.vecNormals.size() != n)
        Fail(fileName,
             "the cloud has " + std::to_string(c.vecNormals.size()) + " normals for " + std::to_string(n) + " points");
    if (!c.vecConfidence.empty() && c.vecConfidence.size() != n)
        Fail(fileName, "the cloud has " + std::to_string(c.vecConfidence.size()) + " confidences for " +
                           std::to_string(n) + " points");
    for (size_t i = 0; i < n; ++i)
    {
        const CbVector3f& p = c.vecPositions[i];
        bool finite = std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
        if (!c.vecNormals.empty())
        {
            const CbVector3f& q = c.vecNormals[i];
            finite = finite && std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z);
        }
        if (!c.vecConfidence.empty())
            finite = finite && std::isfinite(c.vecConfidence[i]);
        if (!finite)
            Fail(fileName, "point " + std::to_string(i) + " has a non-finite value");
    }
    if (!c.vecGrid.empty())
    {
        if (static_cast<uint64_t>(c.uiGridRows) * c.uiGridCols != c.vecGrid.size())
            Fail(fileName, "the range image has " + std::to_string(c.vecGrid.size()) + " cells, not " +
                               std::to_string(c.uiGridRows) + " x " + std::to_string(c.uiGridCols));
        for (size_t k = 0; k < c.vecGrid.size(); ++k)
            if (c.vecGrid[k] < -1 || c.vecGrid[k] >= static_cast<int64_t>(n))
                Fail(fileName, "range image cell " + std::to_string(k) + " refers to point " +
                                   std::to_string(c.vecGrid[k]) + ", which does not exist");
    }
}

template <typename T>
void PutLittle(std::vector<uint8_t>& out, T value)
{
    uint8_t b[sizeof(T)];
    std::memcpy(b, &value, sizeof(T));
    const uint16_t probe = 1;
    uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    if (first != 1)
        for (size_t i = 0; i < sizeof(T) / 2; ++i)
            std::swap(b[i], b[sizeof(T) - 1 - i]);
    out.insert(out.end(), b, b + sizeof(T));
}

std::vector<uint8_t> Encode(const SPointCloud& c)
{
    const size_t n = c.vecPositions.size();
    std::string header = "ply\nformat binary_little_endian 1.0\ncomment written by Velm_Math\n";
    if (!c.vecGrid.empty())
        header += "obj_info num_cols " + std::to_string(c.uiGridCols) + "\nobj_info num_rows " +
                  std::to_string(c.uiGridRows) + "\n";
    header += "element vertex " + std::to_string(n) + "\nproperty float x\nproperty float y\nproperty float z\n";
    if (!c.vecNormals.empty())
        header += "property float nx\nproperty float ny\nproperty float nz\n";
    if (!c.vecConfidence.empty())
        header += "property float confidence\n";
    if (!c.vecGrid.empty())
        header +=
            "element range_grid " + std::to_string(c.vecGrid.size()) + "\nproperty list uchar int vertex_indices\n";
    header += "end_header\n";

    std::vector<uint8_t> out(header.begin(), header.end());
    const size_t perPoint = 12 + (c.vecNormals.empty() ? 0 : 12) + (c.vecConfidence.empty() ? 0 : 4);
    size_t filled = 0;
    for (int32_t cell : c.vecGrid)
        filled += cell >= 0 ? 1 : 0;
    out.reserve(out.size() + n * perPoint + c.vecGrid.size() + 4 * filled);
    for (size_t i = 0; i < n; ++i)
    {
        PutLittle(out, c.vecPositions[i].x);
        PutLittle(out, c.vecPositions[i].y);
        PutLittle(out, c.vecPositions[i].z);
        if (!c.vecNormals.empty())
        {
            PutLittle(out, c.vecNormals[i].x);
            PutLittle(out, c.vecNormals[i].y);
            PutLittle(out, c.vecNormals[i].z);
        }
        if (!c.vecConfidence.empty())
            PutLittle(out, c.vecConfidence[i]);
    }
    for (int32_t cell : c.vecGrid)
    {
        if (cell < 0)
            out.push_back(0);
        else
        {
            out.push_back(1);
            PutLittle(out, cell);
        }
    }
    return out;
}
} // namespace

void CPlyWriter::Write(const std::string& fileName, const SPointCloud& cloud)
{
    Validate(fileName, cloud);
    const std::vector<uint8_t> bytes = Encode(cloud);

    WriteWholeFile(fileName, bytes.data(), bytes.size());
}
} // namespace IO
