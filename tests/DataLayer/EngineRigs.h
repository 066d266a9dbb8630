#pragma once

#include "SyntheticScans.h"
#include "TestSupport.h"

#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/DataLayer/Registration/QuantizeNormal.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"

#include <eigen3/Eigen/Dense>
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

// What the DataLayer tests share: the message of a thrown exception, a scripted engine to watch the driver,
// and surfel engines on placed surfels.
namespace EngineTest
{
using namespace Base;
using namespace DataLayer;
using Result = DataLayer::VelmTorCorrICPRegistrationResult;
using State = Result::ERegistrationState;
using PointList = std::vector<VelmTorQualityPointCCT>;

// The message of the VelmException that `call` throws, after "file:line function: " if `where`.
inline std::wstring MessageOf(const std::function<void()>& call, bool where = false)
{
    const VelmException e = Thrown(call);
    std::wostringstream text;
    if (where)
        text << e.GetFilename() << L':' << e.GetCodeLine() << L' ' << e.GetFunctionName() << L": ";
    text << e.GetMessageText().GetString();
    return text.str();
}

inline void ExpectNear(const CbVector3d& v, const CbVector3d& expected, double tol)
{
    EXPECT_LE(std::fabs(v.x - expected.x) + std::fabs(v.y - expected.y) + std::fabs(v.z - expected.z), tol)
        << v.x << " " << v.y << " " << v.z;
}

// An engine whose data operations follow a script, to observe the driver without surfel data.
class ScriptedEngine : public VelmTorCorrICPPoint
{
public:
    // BuildPairs records the threshold it saw and reports the scripted outcome.
    std::vector<double> pairThresholds;
    std::function<double(size_t call)> pairRmse = [](size_t) { return 1.0; };
    bool pairTooFewSurfels = false;
    CbVector3d pairCentre{0, 0, 0};

    // BuildMatrix writes an identity system, so the solve gives (t, w) = solution, or leaves it empty.
    bool solvable = true;
    double solution[6] = {0, 0, 0, 0, 0, 0};
    int buildMatrixCalls = 0;

    std::function<double(const CbMatrix4Rd&)> rmse = [](const CbMatrix4Rd&) { return 1.0; };
    std::function<double(const CbMatrix4Rd&)> offset = [](const CbMatrix4Rd& m) {
        return std::hypot(m.e[12], m.e[13], m.e[14]);
    };
    std::vector<double> steps;

    XoBoundingBox3D overlapBox{CbVector3f(0, 0, 0), CbVector3f(1, 1, 1)};
    double overlapQuotient = 0.9, pairWeightsQuotient = 0.9;
    bool modelsMissing = false;

    using E = VelmTorCorrICPPoint;
    using E::adjustCOGTransformsFromTransform, E::adjustTransformFromCOGTransforms, E::GetAffineCorrectionMatrix,
        E::IsImprovement, E::UpdateDistanceThreshold, E::UpdateTransformation, E::SetDistanceThreshold,
        E::GetDistanceWeight, E::IsAValidPair, E::AreNormalsSimilar, E::IsSimilarCurvature, E::IsOnBoundary,
        E::GetSquaredError, E::HasSufficientPairWeights, E::CheckForBoundingBoxOverlap, E::GetBoundingBoxOverlapVolume,
        E::AccumulatePairWeights, E::jacobiEigenDecomposition;
    using E::dSumTestWeights, E::dSumOverlapWeights, E::dSumMatchedWeights, E::bBoundingBoxesOverlap,
        E::bConvergedRadiusReached, E::dDistanceThreshold, E::dLastMovement, E::dOffset, E::dRelativeMovement, E::dRMSE,
        E::dSquaredDistanceThreshold, E::dSumOfPairWeights, E::errorSystem, E::mCenteredTransform, E::mCOGTransform,
        E::mStartTransform, E::mTransform, E::uiIteration, E::vPairCentre;

protected:
    void CheckModelsAvailable() const override
    {
        if (modelsMissing)
            throw VelmException("test", 1, "CheckModelsAvailable", CString(L"no models"));
    }
    double GetRMSE(const CbMatrix4Rd& m) override { return rmse(m); }
    double GetOffset(const CbMatrix4Rd& m) override { return offset(m); }

    void BuildPairs() override
    {
        const size_t call = pairThresholds.size();
        pairThresholds.push_back(dDistanceThreshold);
        if (pairTooFewSurfels)
            bSurfelCountTooLow = true;
        else
        {
            uiNrDepthImagePairs = 1, uiNrFoundPairs = 7, vPairCentre = pairCentre, dRMSE = pairRmse(call);
            dSumOfPairWeights = dOverallSumOfPairWeights = 10.0;
        }
    }

    void BuildMatrix(VelmTorPointToPlaneErrorSystemMatrix& system, bool) override
    {
        ++buildMatrixCalls;
        for (int i = 0; i < 6 && solvable; ++i)
            system.aNormalMatrix[i * (i + 1) / 2 + i] += 1.0, system.aRightSide[i] += solution[i];
    }

    // A pure translation by step * t (the rotation is ignored): enough to observe the step search.
    CbMatrix4Rd approximateRigidTransformation(const CbVector3d& t, const CbVector3d&, double step) override
    {
        return steps.push_back(step), CbMatrix4Rd::Translation(step * t.x, step * t.y, step * t.z);
    }

    void ComputeOverlapRepresentation() override { bbOverlap = overlapBox; }
    void ComputePairWeightsQuotient() override
    {
        dOverlapQuotient = overlapQuotient, dPairWeightsQuotient = pairWeightsQuotient;
    }
};

// A configuration under which a scripted registration succeeds unless a test changes it.
inline VelmTorCorrICPPointConfig PassingConfig()
{
    VelmTorCorrICPPointConfig c;
    c.SetInitialDistanceThreshold(4.0f), c.SetAdaptDistanceThreshold(0), c.SetDistanceThresholdAdaptionFactor(3.0f);
    c.SetSamplingDensity(0.2f), c.SetQueryRadiusThreshold(0), c.SetConvergedQueryRadius(0), c.SetMaxIterations(50);
    c.SetMaxTransformationUpdates(1), c.SetMinImprovement(0.99), c.SetMinStepSize(0.1), c.SetOffsetThreshold(0.01);
    c.SetMinimumPairWeights(1.0f), c.SetMaxDOFConditionNumber(1000.0f), c.SetDefaultResClassErrorThreshold(2.0);
    c.SetMaxRelativeMovement(100.0f), c.SetMinimumOverlapQuotient(0.5), c.SetMinimumWeightsQuotient(0.5);
    return c;
}

// An engine already configured with its own copy of the passing configuration.
struct EngineFixture : ::testing::Test
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    ScriptedEngine e;
    EngineFixture() { e.SetConfiguration(config); }
};

// The surfel engine with its internals open.
class ProbeEngine : public VelmTorCorrICPPointSC
{
    using SC = VelmTorCorrICPPointSC;

public:
    using SC::adjustCOGTransformsFromTransform, SC::approximateRigidTransformation, SC::BuildMatrix, SC::BuildPairs,
        SC::ComputeOverlapRepresentation, SC::ComputePairWeightsQuotient, SC::GetOffset, SC::GetRMSE,
        SC::SetDistanceThreshold;
    using SC::accBoundaryFix, SC::accBoundaryFloat, SC::accQualityFix, SC::accQualityFloat, SC::accWeightFix,
        SC::accWeightFloat, SC::bbOverlap, SC::bSurfelCountTooLow, SC::ceFloat, SC::dOverallSumOfPairWeights,
        SC::dOverlapQuotient, SC::dPairWeightsQuotient, SC::dRMSE, SC::dSumOfPairWeights, SC::dSumTestWeights,
        SC::mCenteredTransform, SC::pMaskFix, SC::pModelFix, SC::pModelFloat, SC::uiNrDepthImagePairs,
        SC::vecNearestResult, SC::vecNeighbourIndices, SC::vecPairs, SC::vPairCentre;
};

// Surfels at the given positions, facing +z unless normals are given, sampled in index order.
inline SSurfelData PlacedSurfels(const std::vector<CbVector3f>& positions, std::vector<CbVector3f> normals = {},
                                 std::vector<uint8_t> quality = {}, std::vector<uint8_t> curvature = {})
{
    SSurfelData data;
    data.vecPositions = positions, data.vecQuality = std::move(quality), data.vecCurvature = std::move(curvature);
    data.vecNormals = normals.empty() ? std::vector<CbVector3f>(positions.size(), {0, 0, 1}) : std::move(normals);
    for (uint32_t i = 0; i < positions.size(); ++i)
        data.vecSampleOrder.push_back(i);
    return data;
}

inline std::vector<CbVector3f> Grid(int nx, int ny)
{
    std::vector<CbVector3f> grid;
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x)
            grid.push_back(CbVector3f(static_cast<float>(x), static_cast<float>(y), 0.0f));
    return grid;
}

inline std::unique_ptr<CSurfelCollection> Collection(SSurfelData data)
{
    return std::make_unique<CSurfelCollection>(std::move(data));
}

// Pair building on its own; the radius query is used unless a test lowers fQueryRadiusThreshold.
struct Rig
{
    std::unique_ptr<CSurfelCollection> fix, flt;
    VelmTorCorrICPPointConfig config;
    ProbeEngine engine;

    Rig(SSurfelData fixData, SSurfelData floatData, unsigned int numberOfPairs, double threshold,
        float queryRadiusThreshold = 100.0f, const CSurfelCollectionMask* maskFix = nullptr,
        const CSurfelCollectionMask* maskFloat = nullptr)
        : fix(Collection(std::move(fixData))), flt(Collection(std::move(floatData)))
    {
        config.SetBoundingBoxBlowup(0.5f), config.SetNumberOfPairs(numberOfPairs);
        config.SetQueryRadiusThreshold(queryRadiusThreshold);
        engine.SetConfiguration(config), engine.SetModelFix(*fix, maskFix), engine.SetModelFloat(*flt, maskFloat);
        engine.SetDistanceThreshold(threshold);
    }
    const std::vector<SurfelPair>& Build() { return engine.BuildPairs(), engine.vecPairs; }
};

// The library stores R(r, c) at e[4c + r] and the translation in e[12..14]: a column-major 4x4 matrix.
inline Eigen::Matrix4d AsEigen(const CbMatrix4Rd& m)
{
    return Eigen::Map<const Eigen::Matrix4d>(m.e);
}
inline CbMatrix4Rd RigidMotion(const Eigen::Vector3d& axis, double angle, const CbVector3d& t)
{
    CbMatrix4Rd m = CbMatrix4Rd::Translation(t.x, t.y, t.z);
    Eigen::Map<Eigen::Matrix4d>(m.e).topLeftCorner<3, 3>() = Eigen::AngleAxisd(angle, axis.normalized()).matrix();
    return m;
}
} // namespace EngineTest
