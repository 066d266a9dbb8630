#pragma once

#include "velm/Frame/CbMatrix4.h"
#include "velm/Pipeline/CRecord.h"

#include <limits>
#include <string>
#include <vector>

namespace Pipeline
{
struct SScan;
struct SRegistrationConfig;

// One independent test of a registration result. It does not apply when the data cannot answer it
// (too few pairs, no range grid); a test that does not apply never counts as passed.
struct SCheck
{
    std::string strName;
    double dValue = std::numeric_limits<double>::quiet_NaN(); // NaN: no value
    double dLimit = 0.0;
    std::string strTest; // "<": the value must stay below the limit; ">": it must exceed it
    bool bApplicable = false;
    bool bPassed = false;
    std::string strNote; // why it does not apply, or what the value counts

    CRecord ToRecord() const;
};

// Tests a transformation of FLOAT onto FIX (millimetres, the library's layout) without trusting the
// optimiser that produced it, on up to uiVerifySamples surfels of FLOAT spread over its surface:
// - "residual_ratio": the RMS distance of the samples from FIX's surface (the plane of the nearest
//   FIX point, partners within dVerifyPairDistance) over the noise both scans show on their own,
//   sqrt(noise_fix^2 + noise_float^2). A right alignment leaves only noise.
// - "normal_agreement": the share of those pairs whose normals agree within 25 degrees.
// - "constraint": how well those pairs pin FLOAT down: the smallest over the largest eigenvalue of
//   the normal matrix of their point-to-plane distances (rotations as the motion they cause at the
//   pairs' spread). Surfaces that slide along themselves (planes, cylinders, spheres) give about 0.
// - "free_space": the share of the samples that lie in front of FIX's measured surface, seen along
//   FIX's view direction, where FIX looked through empty space to reach that surface (an orthographic
//   view over FIX's range grid; without a grid it does not apply).
std::vector<SCheck> Verify(const SScan& fix, const SScan& flt, const CbMatrix4Rd& transformation,
                           const SRegistrationConfig& config);
} // namespace Pipeline
