#pragma once

#include "velm/Frame/CThreadPool.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"
#include "velm/Pipeline/SScan.h"

#include <cstdint>
#include <vector>

namespace Pipeline
{
// A point of FIX's feature set and one of FLOAT's whose descriptors agree.
struct SCorrespondence
{
    uint32_t uiFix = 0;
    uint32_t uiFloat = 0;
};

// A motion of FLOAT onto FIX (millimetres, the library's layout) and how many correspondences it
// explains.
struct SStartHypothesis
{
    CbMatrix4Rd mTransformation;
    uint32_t uiInliers = 0;
    bool bIdentity = false; // the identity, which is always proposed, whatever its support
};

// How the robust estimate searches: three correspondences at a time, pruned by what a rigid motion
// keeps (distances between the points, angles between the normals), scored by the correspondences
// the motion takes within the inlier distance with normals agreeing.
struct SRobustOptions
{
    double dInlierDistance = 1.0;     // same unit as the points
    double dEdgeRatio = 0.9;          // shorter over longer side of a sampled edge, at least
    double dMinEdge = 0.0;            // sampled points closer than this are too near to fix a rotation
    double dNormalAngle = 30.0;       // degrees: a sampled pair's normal angle may change by this much
    double dInlierNormalAngle = 45.0; // degrees between an inlier's normals once moved
    uint32_t uiMaxIterations = 100000;
    double dConfidence = 0.999;   // stop once a better sample is this unlikely to have been missed
    uint32_t uiHypotheses = 4;    // distinct motions kept, best supported first
    double dDistinctAngle = 10.0; // degrees: motions closer than this and dDistinctShift are one
    double dDistinctShift = 1.0;  // same unit as the points, measured at FLOAT's middle
    uint64_t uiSeed = 0x5eed0f3a11c0ffeeULL;
};

// The motions best supported by the correspondences, most inliers first, each refitted to its own
// inliers; empty when no sample passed. Deterministic: the same input gives the same output.
// Throws std::invalid_argument when sizes disagree or an index lies outside its point set.
std::vector<SStartHypothesis> EstimateRigidHypotheses(const std::vector<CbVector3f>& fixPoints,
                                                      const std::vector<CbVector3f>& fixNormals,
                                                      const std::vector<CbVector3f>& floatPoints,
                                                      const std::vector<CbVector3f>& floatNormals,
                                                      const std::vector<SCorrespondence>& correspondences,
                                                      const SRobustOptions& options);

// What the search for a start found, for the report.
struct SGlobalSearch
{
    std::vector<SStartHypothesis> vecHypotheses; // ranked, the identity among them
    double dVoxel = 0.0;                         // mm
    size_t uiFixFeatures = 0, uiFloatFeatures = 0, uiCorrespondences = 0;
    double dSeconds = 0.0;
};

// Starts for registering FLOAT onto FIX when none is known: feature points on a voxel grid of both
// scans, their point feature histograms, mutual nearest descriptors as correspondences and the robust
// estimate over them. The identity is added with the support it has and ranked with the others. The
// voxel follows the scans' spacing and size. Loops run on the pool's threads; the same hypotheses
// for every thread count.
SGlobalSearch SearchStarts(const SScan& fix, const SScan& flt, CThreadPool* pool = nullptr);
} // namespace Pipeline
