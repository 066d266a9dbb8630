#pragma once

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/Frame/CThreadPool.h"
#include "velm/Frame/CbVector3.h"
#include "velm/IO/SPointCloud.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Base
{
// How surfels are made from the points of a scan.
struct SSurfelsFromPointsOptions
{
    // Neighbours (the point itself included) whose principal axes give an estimated normal.
    uint32_t uiNormalNeighbours = 12;
    // Normals of the file are used when it has them; set false to estimate them anyway.
    bool bUseFileNormals = true;
    // Estimated normals are turned to face the scanner: towards the viewpoint when bUseViewpoint is
    // set, else along vViewDirection (the direction from the surface towards the scanner; +z for a
    // scanner that looks along -z).
    CbVector3f vViewDirection{0.0f, 0.0f, 1.0f};
    bool bUseViewpoint = false;
    CbVector3f vViewpoint;
    // Coordinates are multiplied by this factor (1000 turns metres into millimetres).
    float fScale = 1.0f;
};

// Unit normals of the points, each the direction of least spread of its k nearest points (the point
// itself included), oriented by the options. Deterministic. Throws VelmException when there are fewer
// than three points or k < 3.
std::vector<CbVector3f> EstimateNormals(const std::vector<CbVector3f>& positions, uint32_t k,
                                        const SSurfelsFromPointsOptions& orientation);
// The same for the positions of a kd-tree, the points shared out over the pool's threads (null: the
// calling thread); the same normals for every thread count. With spacing given, the median neighbour
// spacing comes from the same neighbourhoods (as MedianNeighbourSpacing gives it).
// With planeResiduals given, each point's RMS distance of its k nearest from their best plane (the
// square root of the least principal value), NaN where fewer than 4 neighbours were found.
std::vector<CbVector3f> EstimateNormals(const CKdTree3D& tree, uint32_t k, const SSurfelsFromPointsOptions& orientation,
                                        CThreadPool* pool, double* spacing = nullptr,
                                        std::vector<double>* planeResiduals = nullptr);

// A boundary flag per point from the scanner's range image: 1 when a 4-neighbour cell of the point's
// cell is empty or lies outside the image, else 0. Points the image does not show get 0. Empty when
// the cloud has no range image.
std::vector<uint8_t> BoundaryFlagsFromGrid(const IO::SPointCloud& cloud);

// Qualities (value / 255) from per-point confidences: confidences within [0, 1] are taken as they
// are, otherwise they are divided by the largest; negative ones count as 0. Empty when the cloud has
// no confidences.
std::vector<uint8_t> QualityFromConfidence(const std::vector<float>& confidence);

// The median distance from a point to its nearest other point: the scan's sampling density.
// Deterministic; points that coincide with another count with distance 0. Throws VelmException for
// fewer than two points.
double MedianNeighbourSpacing(const std::vector<CbVector3f>& positions);
// The same for the positions of a kd-tree, on the pool's threads.
double MedianNeighbourSpacing(const CKdTree3D& tree, CThreadPool* pool = nullptr);

// Surfel data of a scan: positions scaled by fScale, normals from the file (a zero normal of the file
// is estimated instead) or estimated, quality from confidences, boundary flags from the range image.
SSurfelData SurfelsFromPoints(const IO::SPointCloud& cloud, const SSurfelsFromPointsOptions& options);

// The points of a scan as the surfel builders read them: views of arrays the caller keeps alive for
// the call (an IO::SPointCloud's, or any other memory of the same layout). Null: the part is absent.
struct SPointsView
{
    const CbVector3f* pPositions = nullptr;
    size_t uiCount = 0;
    const CbVector3f* pNormals = nullptr; // as stored: any length, a zero one means "none"
    const float* pConfidence = nullptr;
    uint32_t uiGridRows = 0; // the range image, rows x cols cells of point indices (-1: none)
    uint32_t uiGridCols = 0;
    const int32_t* pGrid = nullptr;

    static SPointsView Of(const IO::SPointCloud& cloud);
};
static_assert(sizeof(CbVector3f) == 3 * sizeof(float), "three floats a point, side by side");

// A scan's surfels with the one kd-tree over their positions: built once, it serves the normals and
// the spacing here, and the collection (CSurfelCollection's tree-taking constructor) afterwards.
struct SSurfelScan
{
    SSurfelData data; // every element but the positions, which are the tree's
    std::shared_ptr<const CKdTree3D> spTree;
    double dSpacing = 0.0; // MedianNeighbourSpacing of the positions
    // Where normals were estimated: each point's plane residual over its uiNormalNeighbours nearest
    // (as EstimateNormals gives it); empty otherwise.
    std::vector<double> vecPlaneResiduals;
};
// The surfels of SurfelsFromPoints (the same values), with the loops on the pool's threads.
SSurfelScan SurfelScanFromPoints(const IO::SPointCloud& cloud, const SSurfelsFromPointsOptions& options,
                                 CThreadPool* pool = nullptr);
SSurfelScan SurfelScanFromPoints(const SPointsView& points, const SSurfelsFromPointsOptions& options,
                                 CThreadPool* pool = nullptr);
} // namespace Base
