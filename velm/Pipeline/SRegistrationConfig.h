#pragma once

#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/Pipeline/CRecord.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Pipeline
{
struct SScan;

// Everything a registration of two scans is run with: the engine's 29 settings for the fine stage,
// the coarse stage that brings a rough start within the fine stage's reach, the start hypotheses
// tried when the result from the given start is not verified, and the verification limits.
// Distances are in millimetres.
struct SRegistrationConfig
{
    DataLayer::VelmTorCorrICPPointConfig fine;

    // Coarse stage: steps with fixed correspondence distances, shrinking geometrically from the
    // first to the last; each step iterates until the motion settles or the iteration limit.
    uint32_t uiCoarseSteps = 0;         // 0: no coarse stage
    double dCoarseFirstThreshold = 0.0; // mm
    double dCoarseLastThreshold = 0.0;  // mm
    uint32_t uiCoarsePairs = 0;         // samples of FLOAT per iteration
    uint32_t uiCoarseMaxIterations = 0; // per step

    // Start hypotheses: the given start turned about FLOAT's middle, tried (coarse stage, then the
    // best-ranked through the fine stage and the verification) only when the given start's result is
    // not verified.
    uint32_t uiStartHypotheses = 0;
    double dHypothesisAngle = 0.0;    // degrees
    uint32_t uiHypothesesRefined = 0; // how many of the ranked hypotheses run the fine stage

    // Verification, on up to uiVerifySamples surfels of FLOAT.
    uint32_t uiVerifySamples = 0;
    double dVerifyPairDistance = 0.0; // mm: a sample's partner on FIX lies at most this far
    double dMaxResidualRatio = 0.0;   // RMS point-to-plane residual / expected noise must stay below
    double dMinNormalAgreement = 0.0; // share of pairs with agreeing normals must exceed
    double dMaxFreeSpaceShare = 0.0;  // share of samples in FIX's free space must stay below
    double dMinConstraint = 0.0;      // how well the pairs pin FLOAT down must exceed
};

// The configuration that works on real scans without tuning: the fine stage's distances derive from
// the fixed scan's sampling density, the coarse stage's reach from its size (a start is off by a part
// of the object, whatever its sampling), every limit from the scans' spacing and noise.
SRegistrationConfig DefaultConfig(const SScan& fix);
// The same from a spacing and a size (mm): the RMS distance of the points from their centroid.
SRegistrationConfig DefaultConfig(double spacing, double size);
// The size of a scan as DefaultConfig takes it.
double ScanSize(const SScan& scan);

// Thrown for a configuration key that does not exist (a subclass of the value error, so that a
// caller who does not care tells them apart by nothing).
class CUnknownKeyError : public std::invalid_argument
{
public:
    using std::invalid_argument::invalid_argument;
};

// The settings as one map: the engine's 29 labels (the labels of its text dump, in that order), then
// the pipeline's keys. Integers, booleans, and float settings as single precision.
CRecord ConfigToRecord(const SRegistrationConfig& config);
// Overrides the keys the map names. Throws CUnknownKeyError for an unknown key and
// std::invalid_argument, naming the key, for a value of the wrong kind or out of range; the
// configuration is then unchanged.
void ApplyConfigOverrides(const CRecord& overrides, SRegistrationConfig& config);
// Throws std::invalid_argument, naming the key, for a setting outside its range (a negative
// iteration limit, a share above 1, ...).
void CheckConfig(const SRegistrationConfig& config);
// All keys, in the order of ConfigToRecord.
std::vector<std::string> ConfigKeys();
} // namespace Pipeline
