#pragma once

// Shared helpers of the surfel-engine tests: an engine that opens its protected members to the
// tests, small hand-placed collections, and a smooth synthetic surface seen by two scans.

#include "velm/Base/Interfaces/TQuantizedNormalMultiLevel.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/DataLayer/Registration/QuantizeNormal.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace SurfelEngineTest
{
using DataLayer::SurfelPair;
using DataLayer::VelmTorCorrICPPointConfig;
using DataLayer::VelmTorCorrICPPointSC;

class ProbeEngine : public VelmTorCorrICPPointSC
{
public:
    using VelmTorCorrICPPointSC::VelmTorCorrICPPointSC;

    using VelmTorCorrICPPointSC::adjustCOGTransformsFromTransform;
    using VelmTorCorrICPPointSC::approximateRigidTransformation;
    using VelmTorCorrICPPointSC::BuildMatrix;
    using VelmTorCorrICPPointSC::BuildPairs;
    using VelmTorCorrICPPointSC::ComputeOverlapRepresentation;
    using VelmTorCorrICPPointSC::ComputePairWeightsQuotient;
    using VelmTorCorrICPPointSC::GetOffset;
    using VelmTorCorrICPPointSC::GetRMSE;
    using VelmTorCorrICPPointSC::SetDistanceThreshold;

    using VelmTorCorrICPPointSC::accBoundaryFix;
    using VelmTorCorrICPPointSC::accBoundaryFloat;
    using VelmTorCorrICPPointSC::accNormalFix;
    using VelmTorCorrICPPointSC::accPositionFix;
    using VelmTorCorrICPPointSC::accPositionFloat;
    using VelmTorCorrICPPointSC::accQualityFix;
    using VelmTorCorrICPPointSC::accQualityFloat;
    using VelmTorCorrICPPointSC::accWeightFix;
    using VelmTorCorrICPPointSC::accWeightFloat;
    using VelmTorCorrICPPointSC::bbOverlap;
    using VelmTorCorrICPPointSC::bBoundingBoxesOverlap;
    using VelmTorCorrICPPointSC::bSurfelCountTooLow;
    using VelmTorCorrICPPointSC::ceFloat;
    using VelmTorCorrICPPointSC::dCentreWeightSum;
    using VelmTorCorrICPPointSC::dOverallSumOfPairWeights;
    using VelmTorCorrICPPointSC::dOverlapQuotient;
    using VelmTorCorrICPPointSC::dPairWeightsQuotient;
    using VelmTorCorrICPPointSC::dRMSE;
    using VelmTorCorrICPPointSC::dSumMatchedWeights;
    using VelmTorCorrICPPointSC::dSumOfPairWeights;
    using VelmTorCorrICPPointSC::dSumOverlapWeights;
    using VelmTorCorrICPPointSC::dSumTestWeights;
    using VelmTorCorrICPPointSC::mCenteredTransform;
    using VelmTorCorrICPPointSC::pMaskFix;
    using VelmTorCorrICPPointSC::pMaskFloat;
    using VelmTorCorrICPPointSC::pModelFix;
    using VelmTorCorrICPPointSC::pModelFloat;
    using VelmTorCorrICPPointSC::uiNrDepthImagePairs;
    using VelmTorCorrICPPointSC::uiNrFoundPairs;
    using VelmTorCorrICPPointSC::vecNearestResult;
    using VelmTorCorrICPPointSC::vecNeighbourIndices;
    using VelmTorCorrICPPointSC::vecPairs;
    using VelmTorCorrICPPointSC::vPairCentre;
};

// Decoded normal of the code that the encoder gives a direction: what the engine sees of it.
inline CbVector3d DecodedNormal(const CbVector3f& direction)
{
    Base::TQuantizedNormalMultiLevelLUT<CbVector3d>::lut.Create();
    return Base::TQuantizedNormalMultiLevelLUT<CbVector3d>::lut[DataLayer::QuantizeNormal(direction)];
}

// Surfels at the given positions, all facing +z, sampled in index order.
inline Base::SSurfelData PlacedSurfels(const std::vector<CbVector3f>& positions)
{
    Base::SSurfelData data;
    data.vecPositions = positions;
    data.vecNormals.assign(positions.size(), CbVector3f(0.0f, 0.0f, 1.0f));
    data.vecSampleOrder.resize(positions.size());
    for (uint32_t i = 0; i < positions.size(); ++i)
        data.vecSampleOrder[i] = i;
    return data;
}

inline std::unique_ptr<Base::CSurfelCollection> Collection(Base::SSurfelData data)
{
    return std::make_unique<Base::CSurfelCollection>(std::move(data));
}

// The engine's kernel, written out for the expectations: (1 - d^2/r^2)^2 inside the radius.
inline double Kernel(double distanceSqr, double radius)
{
    if (distanceSqr >= radius * radius)
        return 0.0;
    const double t = 1.0 - distanceSqr / (radius * radius);
    return t * t * t * t;
}

// A smooth surface without symmetries, in millimetres: a tilted wave, a saddle and an off-centre
// bump, so that every rigid motion changes the point-to-plane distances. `relief` scales the
// height; a tiny relief makes a nearly flat scan that cannot pin motions within its plane.
struct Surface
{
    double relief = 1.0;

    double Height(double x, double y) const
    {
        return relief * (4.0 * std::sin(0.11 * x + 0.3) * std::cos(0.07 * y) + 0.002 * x * y +
                         3.0 * std::exp(-((x - 8.0) * (x - 8.0) + (y + 5.0) * (y + 5.0)) / 120.0));
    }
    CbVector3d Normal(double x, double y) const
    {
        const double h = 1e-5;
        const double dx = (Height(x + h, y) - Height(x - h, y)) / (2.0 * h);
        const double dy = (Height(x, y + h) - Height(x, y - h)) / (2.0 * h);
        const CbVector3d n(-dx, -dy, 1.0);
        return n * (1.0 / n.Length());
    }
};

inline CbVector3d RotateVector(const CbMatrix4Rd& m, const CbVector3d& v)
{
    return m.TransformPoint(v) - m.TransformPoint(CbVector3d(0.0, 0.0, 0.0));
}

// A scan of the surface: a grid of `nx` by `ny` surfels with the given spacing starting at
// (x0, y0), expressed in a scanner frame. `surfaceToScan` maps surface coordinates into that frame.
inline Base::SSurfelData Scan(const Surface& surface, double x0, double y0, int nx, int ny, double spacing,
                              const CbMatrix4Rd& surfaceToScan)
{
    Base::SSurfelData data;
    data.vecPositions.reserve(static_cast<size_t>(nx) * ny);
    data.vecNormals.reserve(static_cast<size_t>(nx) * ny);
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i)
        {
            const double x = x0 + i * spacing;
            const double y = y0 + j * spacing;
            const CbVector3d p(x, y, surface.Height(x, y));
            data.vecPositions.push_back(CbVector3f(surfaceToScan.TransformPoint(p)));
            data.vecNormals.push_back(CbVector3f(RotateVector(surfaceToScan, surface.Normal(x, y))));
        }
    return data;
}

// Rotation by `angle` radians about the unit axis (ax, ay, az), then translation by t, in the
// library's convention (row vectors, translation in e12..e14).
inline CbMatrix4Rd RigidMotion(double ax, double ay, double az, double angle, const CbVector3d& t)
{
    const double len = std::sqrt(ax * ax + ay * ay + az * az);
    ax /= len;
    ay /= len;
    az /= len;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    const double C = 1.0 - c;
    // R in row/column form; the library stores R(r, c) at e[4c + r].
    const double R[3][3] = {{c + ax * ax * C, ax * ay * C - az * s, ax * az * C + ay * s},
                            {ay * ax * C + az * s, c + ay * ay * C, ay * az * C - ax * s},
                            {az * ax * C - ay * s, az * ay * C + ax * s, c + az * az * C}};
    CbMatrix4Rd m;
    for (int r = 0; r < 3; ++r)
        for (int col = 0; col < 3; ++col)
            m.e[4 * col + r] = R[r][col];
    m.e[12] = t.x;
    m.e[13] = t.y;
    m.e[14] = t.z;
    return m;
}

// Largest difference between two transformations' rotation parts, and between their translations.
inline double RotationError(const CbMatrix4Rd& a, const CbMatrix4Rd& b)
{
    double worst = 0.0;
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r)
            worst = std::max(worst, std::fabs(a.e[4 * c + r] - b.e[4 * c + r]));
    return worst;
}
inline double TranslationError(const CbMatrix4Rd& a, const CbMatrix4Rd& b)
{
    return std::sqrt((a.e[12] - b.e[12]) * (a.e[12] - b.e[12]) + (a.e[13] - b.e[13]) * (a.e[13] - b.e[13]) +
                     (a.e[14] - b.e[14]) * (a.e[14] - b.e[14]));
}

// A configuration for scans with 1 mm surfel spacing that start a few millimetres and degrees
// apart. Every value follows from what its field means for such data:
// - neighbourhoods: the threshold starts at 5 mm (above the initial misalignment, so every sample
//   finds a partner) and follows three times the RMSE down to 2 mm, two surfel spacings, so that a
//   neighbourhood always holds about a dozen surfels; below 2.5 mm it switches to a fixed 2 mm
//   radius query;
// - sampling: 1500 of the ~3700 floating surfels per pair building, 1000 overlap test samples;
// - update: up to 3 accepted steps per iteration, each must lower the RMSE by more than 1 %, step
//   halving down to 0.125;
// - stopping: 50 iterations, or an update that moved the model by less than 1 micrometre;
// - judging: pair weight above 100 (a full overlap gives tens of thousands), a condition number of
//   the motion analysis below 1000, less than 20 mm total movement, over half of the tested
//   samples overlapping and over 80 % of those with a similar normal (cosine 0.95), and an RMSE
//   below 50 micrometres.
inline VelmTorCorrICPPointConfig SyntheticScanConfig()
{
    VelmTorCorrICPPointConfig c;
    c.SetBoundingBoxBlowup(1.0f);
    c.SetMaxNumberDepthImagePairs(1);
    c.SetNumberOfPairs(1500);
    c.SetInitialDistanceThreshold(5.0f);
    c.SetAdaptDistanceThreshold(1);
    c.SetDistanceThresholdAdaptionFactor(3.0f);
    c.SetSamplingDensity(2.0f);
    c.SetQueryRadiusThreshold(2.5f);
    c.SetConvergedQueryRadius(2.0f);
    c.SetSmoothDistanceThresholding(true);
    c.SetMaxTransformationUpdates(3);
    c.SetMinImprovement(0.99);
    c.SetMinStepSize(0.1);
    c.SetMaxIterations(50);
    c.SetOffsetThreshold(0.001);
    c.SetMinimumPairWeights(100.0f);
    c.SetMaxDOFConditionNumber(1000.0f);
    c.SetMaxRelativeMovement(20.0f);
    c.SetNrTestSamples(1000);
    c.SetOverlapRange(3.0f);
    c.SetTestRange(1.5f);
    c.SetCosNormalThreshold(0.95);
    c.SetCurvatureThreshold(1.0);
    c.SetMinimumOverlapQuotient(0.5);
    c.SetMinimumWeightsQuotient(0.8);
    c.SetDefaultResClassErrorThreshold(0.05);
    c.SetMinimumAbsOverlap(0.0);
    c.SetMinimumNumberSurfelsFix(100);
    c.SetMinimumNumberSurfelsFloat(100);
    return c;
}
} // namespace SurfelEngineTest
