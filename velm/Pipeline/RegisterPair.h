#pragma once

#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Pipeline/CRecord.h"
#include "velm/Pipeline/Motion.h"
#include "velm/Pipeline/SRegistrationConfig.h"
#include "velm/Pipeline/SScan.h"
#include "velm/Pipeline/Verification.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Pipeline
{
// Where a registration starts: the motion given, the identity (FLOAT where it lies), or found by
// searching the scans' shapes for one (SearchStarts) when nothing is known.
enum class EStartMethod
{
    Given,
    Identity,
    Global,
};
const char* StartMethodName(EStartMethod method); // "given", "identity", "global"

struct SRegisterOptions
{
    EStartMethod eStart = EStartMethod::Given;
    // The given start: FLOAT onto FIX in the scans' file units, in the library's layout (p maps to
    // p * M, translation in e12..e14). Ignored by the other methods.
    CbMatrix4Rd mStart;
    // The defaults derived from FIX (DefaultConfig) when not given.
    std::optional<SRegistrationConfig> config;
    // Called with a line per iteration of every stage, when set.
    std::function<void(const std::string&)> fnProgress;
    // Threads for the engine's pair building and the scan copies the stages make (null: the calling
    // thread). The result is the same for every thread count.
    std::shared_ptr<CThreadPool> spThreads;
};

// One engine run of a registration.
struct SStage
{
    std::string strName;       // "coarse" or "fine"
    uint32_t uiHypothesis = 0; // the start it began from: 0 is the given one
    uint32_t uiIterations = 0;
    double dThreshold = 0.0; // correspondence distance at the end (mm)
    double dRmse = 0.0;      // engine RMSE at the end (mm); the largest double without pairs
    uint32_t uiPairs = 0;
    double dSeconds = 0.0;

    CRecord ToRecord() const;
};

// How the reported result's start came about. A search proposes several ranked starts (the identity
// among them); each is refined and verified in rank order until one is verified.
struct SStartReport
{
    EStartMethod eMethod = EStartMethod::Given;
    uint32_t uiHypotheses = 1;       // starts proposed
    std::optional<uint32_t> inliers; // the reported start's support among the correspondences (search only)
    uint32_t uiRank = 1;             // the reported start's rank among those proposed, 1 the best supported
    double dVoxel = 0.0;             // the search's feature spacing (mm); 0 without a search
    size_t uiCorrespondences = 0;
    double dSeconds = 0.0; // the search, without the registrations of its starts

    CRecord ToRecord() const;
};

// Everything one registration of two scans found: the engine's result of the fine stage (its state
// and failure cause are reported as they are), the stages run, the independent verification, and the
// measures and timings behind them.
struct SPairResult
{
    // The fine stage's result; its transformation is the whole motion in millimetres, start included.
    std::shared_ptr<const DataLayer::VelmTorCorrICPRegistrationResult> spEngine;
    CbMatrix4Rd mTransformation; // FLOAT onto FIX, file units
    CbMatrix4Rd mStart;          // where the reported result started (file units): as given, or the start found
    SStartReport start;
    std::vector<SStage> vecStages;
    std::vector<SCheck> vecChecks;
    bool bVerified = false;    // the engine's state is Success and the verification passed
    std::string strVerdict;    // one line: why the result is or is not trusted
    uint32_t uiHypotheses = 1; // starts tried: the given one and those turned about it
    uint32_t uiHypothesis = 0; // the start of the reported result
    SRegistrationConfig config;
    std::string strUnits;
    double dSpacingFix = 0.0, dSpacingFloat = 0.0, dNoiseFix = 0.0, dNoiseFloat = 0.0; // mm
    size_t uiPointsFix = 0, uiPointsFloat = 0;
    // Load and surfels: the scans' own times summed; a caller that prepared them at once (LoadScans)
    // may put the wall clock of each phase here instead.
    double dLoadSeconds = 0.0, dSurfelSeconds = 0.0, dRegistrationSeconds = 0.0, dVerificationSeconds = 0.0;

    // What exit status 0 of the tool means: the engine's "Success" and a passed verification.
    bool GetSuccess() const { return bVerified; }
    std::string GetStateName() const;
    uint32_t GetIterations() const; // over all stages
    // The whole record, keys in a fixed order: what velm-register writes as JSON.
    CRecord ToRecord() const;
};

// Registers FLOAT onto FIX from a start (given, the identity, or each start a search proposes): a
// coarse stage with wide, fixed correspondence distances, the engine's adaptive fine stage from its
// result, and the verification of what it reached. When a given or identity start is not verified,
// starts turned about FLOAT's middle go through the coarse stage; the best ranked are refined and
// verified in turn, and the first verified one is reported (else the result from the start itself).
// Starts a search found are not turned: they are refined in rank order until one is verified, else
// the best ranked one is reported. Deterministic: the same input gives the same output.
// Throws std::invalid_argument for scans in different units or a configuration out of range.
SPairResult RegisterPair(const SScan& fix, const SScan& flt, const SRegisterOptions& options);

// A 4x4 transformation of the library's layout as four rows of the usual layout (p maps to M p, a
// column vector; translation in the last column).
CRecord MatrixRecord(const CbMatrix4Rd& m);
} // namespace Pipeline
