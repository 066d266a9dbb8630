#pragma once

#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace EngineTest
{
using DataLayer::VelmTorCorrICPPoint;
using DataLayer::VelmTorCorrICPPointConfig;
using DataLayer::VelmTorPointToPlaneErrorSystemMatrix;
using DataLayer::VelmTorQualityPointCCT;
using Result = DataLayer::VelmTorCorrICPRegistrationResult;
using PointList = std::vector<VelmTorQualityPointCCT>;

// The message of the VelmException that `call` throws, or "no exception".
inline std::wstring MessageOf(const std::function<void()>& call)
{
    try
    {
        call();
    }
    catch (const VelmException& e)
    {
        return e.GetMessageText().GetString();
    }
    return L"no exception";
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
        steps.push_back(step);
        return CbMatrix4Rd::Translation(step * t.x, step * t.y, step * t.z);
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
    c.SetSamplingDensity(0.2f), c.SetQueryRadiusThreshold(0.0f), c.SetConvergedQueryRadius(0.0f);
    c.SetMaxTransformationUpdates(1), c.SetMinImprovement(0.99), c.SetMinStepSize(0.1), c.SetMaxIterations(50);
    c.SetOffsetThreshold(0.01), c.SetMinimumPairWeights(1.0f), c.SetMaxDOFConditionNumber(1000.0f);
    c.SetMaxRelativeMovement(100.0f), c.SetMinimumOverlapQuotient(0.5), c.SetMinimumWeightsQuotient(0.5);
    c.SetDefaultResClassErrorThreshold(2.0);
    return c;
}

// An engine already configured with its own copy of the passing configuration.
struct EngineFixture : ::testing::Test
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    ScriptedEngine e;
    EngineFixture() { e.SetConfiguration(config); }
};
} // namespace EngineTest
