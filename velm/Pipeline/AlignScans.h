#pragma once

#include "velm/Frame/CThreadPool.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"
#include "velm/Pipeline/CRecord.h"
#include "velm/Pipeline/PoseGraph.h"
#include "velm/Pipeline/SScan.h"

#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace Pipeline
{
// Poses take a scan's points (millimetres) into the set's common frame, in the library's layout
// (p maps to p * T).

// What one registration of a pair of a set gives: plain data, made by RegisterEdge alone.
struct SEdgeResult
{
    size_t uiFix = 0, uiFloat = 0;
    std::string strState;        // the engine's state name
    std::string strFailureCause; // as velm-register reports it
    bool bVerified = false;
    std::string strVerdict;
    double dRmse = std::numeric_limits<double>::quiet_NaN(); // mm; NaN without pairs
    CbMatrix4Rd mTransformation;                             // FLOAT onto FIX (mm)
    // The Gauss-Newton matrix of the point pairs at that transformation (see SPoseEdge), about FLOAT's
    // middle in FIX's frame, and how many pairs it sums.
    double adInformation[36] = {};
    CbVector3d vCentre;
    double dPairs = 0.0;
    double dSeconds = 0.0;
    bool bUsed = false; // verified and kept by the pose optimisation (set by AlignScans)
};

// How good the poses a pair is registered from are, which decides the stages it runs.
enum class EEdgeStart
{
    Rough, // as given: the coarse stage, then the fine stage
    Retry, // a scan not placed yet, its first registrations failed: start hypotheses too
    Placed // both scans placed by an earlier round: the fine stage alone
};

// Registers FLOAT onto FIX from where the two poses put them (RegisterPair with FIX's default
// configuration and the stages the start calls for, on a pool, which may be null) and recomputes the
// information of its final pairs: FLOAT's first samples (as many as the fine stage takes) paired with
// the nearest FIX point within the fine stage's last correspondence distance whose normal agrees as the
// engine's do.
SEdgeResult RegisterEdge(const SScan& fix, const SScan& flt, size_t fixIndex, size_t fltIndex,
                         const CbMatrix4Rd& fixPose, const CbMatrix4Rd& fltPose, EEdgeStart start,
                         const std::shared_ptr<CThreadPool>& threads);

// The share of FLOAT's first `samples` surfels (its sample order: spread over its surface) that lie
// within `distance` (mm) of a FIX point whose normal agrees within `degrees`, FLOAT moved onto FIX by
// the transformation (mm).
double OverlapShare(const SScan& fix, const SScan& flt, const CbMatrix4Rd& fltOntoFix, double distance, double degrees,
                    uint32_t samples);

// A pair of scans (FIX the earlier) and the share of FLOAT near FIX at the current poses.
struct SCandidatePair
{
    size_t uiFix = 0, uiFloat = 0;
    double dShare = 0.0;
};

// The pairs a first round registers among candidates that all passed the share limit: each scan's
// `partners` largest shares, and then, largest share first, every further pair that joins two groups
// of scans the pairs chosen so far leave apart, so that the round joins all that the candidates join.
// Returned in the order given; partners 0 chooses all.
std::vector<SCandidatePair> ChooseFirstPairs(size_t scans, const std::vector<SCandidatePair>& candidates,
                                             uint32_t partners);

struct SAlignOptions
{
    size_t uiAnchor = 0; // the scan whose pose stays as given
    // A pair is registered when, at the poses of its round, at least dCandidateShare of FLOAT's
    // uiCandidateSamples samples lie near FIX with normals agreeing within dCandidateNormalAngle. Near:
    // within dCandidateDistance FIX spacings when both scans have been aligned by an earlier round;
    // otherwise, while their poses are rough, within the reach of FIX's coarse stage (DefaultConfig),
    // which is how far apart the surfaces of a start may lie for the registration to find its way.
    double dCandidateShare = 0.2;
    double dCandidateDistance = 3.0;
    double dCandidateNormalAngle = 45.0; // degrees
    uint32_t uiCandidateSamples = 1000;
    // The first round registers, of the candidates, the pairs that are among the uiFirstPartners of
    // largest share of one of their scans (0: all) and those that join groups of scans these leave
    // apart (ChooseFirstPairs): enough to place every scan and close loops; once the poses are right,
    // the next round adds every other pair that overlaps.
    uint32_t uiFirstPartners = 2;
    // Rounds of candidates, registrations and pose optimisation, at most. A round after the first
    // starts from the poses found and registers what is new: candidates not registered yet, and pairs
    // with a scan not aligned whose start has changed (these also try start hypotheses); without
    // anything new, no further round runs.
    uint32_t uiRounds = 2;
    // An edge the optimised poses leave further from its registration than dMaxEdgeTurn degrees or
    // dMaxEdgeShift spacings (the largest spacing of the set) of FLOAT's middle disagrees with the rest
    // and is removed (see SPoseGraphOptions).
    double dMaxEdgeTurn = 1.0;
    double dMaxEdgeShift = 4.0;
    // Pair jobs run on the pool, a pair a thread (null: the calling thread).
    std::shared_ptr<CThreadPool> spThreads;
    // Called after each registration with a line "round R, pair I of N: FLOAT onto FIX: STATE,
    // verified|not verified, S s", from one thread at a time. The scans are named by vecNames when it
    // has a name for each, else by their own names.
    std::function<void(const std::string&)> fnProgress;
    std::vector<std::string> vecNames;
};

struct SAlignedScan
{
    bool bAligned = false; // placed through verified edges kept from the anchor (the anchor itself too)
    CbMatrix4Rd mPose;     // the start pose when not aligned
    double dTurn = 0.0;    // degrees between the start pose and the pose
    double dShift = 0.0;   // mm the scan's middle moved from where the start pose put it
};

struct SRemovedEdge
{
    size_t uiFix = 0, uiFloat = 0;
    double dTurn = 0.0, dShift = 0.0; // how far the other edges' poses left it (degrees, mm)
};

struct SAlignResult
{
    // Every pair registered, its last registration, in the order of the set (FIX before FLOAT).
    std::vector<SEdgeResult> vecPairs;
    std::vector<SAlignedScan> vecScans;
    std::vector<SRemovedEdge> vecRemoved; // by the last round's optimisation
    // RMS distance (mm) by which the poses move the pairs of the used edges off their planes, at the
    // start poses and at the result (to first order; see SPoseGraphResult).
    double dResidualBefore = std::numeric_limits<double>::quiet_NaN();
    double dResidualAfter = std::numeric_limits<double>::quiet_NaN();
    uint32_t uiRounds = 0;                           // rounds run
    double dLoadSeconds = 0.0, dSurfelSeconds = 0.0; // for the caller to fill in
    double dCandidateSeconds = 0.0, dRegistrationSeconds = 0.0, dOptimisationSeconds = 0.0;

    bool AllAligned() const;
    // The report, scans named as given: pairs, scans, removed_edges, residual_before, residual_after,
    // rounds, timings_s.
    CRecord ToRecord(const std::vector<std::string>& names) const;
};

// Aligns a scan set: in each round, the candidate pairs at the round's poses are registered (on the
// pool), the verified edges with their information go into the pose optimisation, which keeps the
// anchor and removes edges that disagree with the rest; a scan not reached from the anchor through
// kept edges is not aligned and keeps its start pose. Deterministic: the same input gives the same
// output for every thread count. Throws std::invalid_argument for starts that do not match the scans,
// an anchor outside the set, scans in different units, or an option out of range.
SAlignResult AlignScans(const std::vector<std::shared_ptr<const SScan>>& scans, const std::vector<CbMatrix4Rd>& starts,
                        const SAlignOptions& options);
} // namespace Pipeline
