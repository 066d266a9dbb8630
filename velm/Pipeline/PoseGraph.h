#pragma once

#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace Pipeline
{
// The poses of a scan set given by registrations of its pairs. Poses take a scan's points (millimetres)
// into the common frame, in the library's layout (p maps to p * T; A * B applies A first).

struct SPoseNode
{
    CbMatrix4Rd mStart; // where the scan is before optimisation; kept when it is not connected
    CbVector3d vCentre; // the scan's middle in its own frame: poses are changed by turns about it
};

// One registration: FLOAT onto FIX and how sharply its point pairs determine that motion.
struct SPoseEdge
{
    size_t uiFix = 0;
    size_t uiFloat = 0;
    CbMatrix4Rd mMeasured; // FLOAT onto FIX (mm): T_float * inverse(T_fix) when the poses agree with it
    // The information about a small change of that motion, a turn (radians) about vCentre and a shift
    // (mm), both in FIX's frame: the 6x6 Gauss-Newton matrix (row by row, turn first) of the pairs'
    // point-to-plane distances. Its quadratic form is the sum of the squared distances by which such a
    // change moves the pairs off their planes.
    double adInformation[36] = {};
    CbVector3d vCentre;  // FLOAT's middle in FIX's frame (mm)
    double dPairs = 0.0; // how many pairs the information sums
};

struct SPoseGraphOptions
{
    size_t uiAnchor = 0; // the scan whose pose stays as given
    // An edge the optimised poses leave further from its registration than either limit disagrees with
    // the rest: the worst such edge is removed and the poses optimised again, until none is left.
    double dMaxEdgeTurn = 1.0;  // degrees
    double dMaxEdgeShift = 2.0; // mm, FLOAT's middle
    uint32_t uiMaxIterations = 100;
};

// How far the poses leave one edge from its registration.
struct SEdgeDisagreement
{
    double dTurn = 0.0;  // degrees
    double dShift = 0.0; // mm, FLOAT's middle
};

struct SPoseGraphResult
{
    std::vector<CbMatrix4Rd> vecPoses;              // the start of a scan that is not connected
    std::vector<bool> vecConnected;                 // to the anchor through edges kept
    std::vector<size_t> vecRemoved;                 // edges removed, in the order they were
    std::vector<SEdgeDisagreement> vecDisagreement; // per edge at the final poses, removed edges too
    // The RMS distance (mm) by which the poses move the pairs of the kept edges of the anchor's part
    // off their planes (to first order): at the start poses and at the optimised poses.
    double dResidualBefore = std::numeric_limits<double>::quiet_NaN();
    double dResidualAfter = std::numeric_limits<double>::quiet_NaN();
    uint32_t uiIterations = 0; // Levenberg-Marquardt steps, over all rounds
};

// Minimises the sum over edges of the information-weighted squared disagreement between the poses
// and the registrations (Levenberg-Marquardt on the poses of every scan connected to the anchor but
// the anchor, normal equations solved by sparse Cholesky), starting from the registrations chained
// out from the anchor. Deterministic. Throws std::invalid_argument for an anchor or an edge naming a
// scan that does not exist, or an edge from a scan to itself.
SPoseGraphResult OptimisePoses(const std::vector<SPoseNode>& nodes, const std::vector<SPoseEdge>& edges,
                               const SPoseGraphOptions& options);
} // namespace Pipeline
