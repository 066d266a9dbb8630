#pragma once

#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include <cmath>
#include <functional>
#include <vector>

namespace EngineTest
{
using DataLayer::VelmTorCorrICPPoint;
using DataLayer::VelmTorCorrICPPointConfig;
using DataLayer::VelmTorCorrICPRegistrationResult;
using DataLayer::VelmTorPointToPlaneErrorSystemMatrix;
using State = VelmTorCorrICPRegistrationResult::ERegistrationState;

// An engine whose seven data operations follow a script, so that the driver, the update and the
// evaluation can be observed without surfel data. Protected members are made public for the tests.
class ScriptedEngine : public VelmTorCorrICPPoint
{
public:
    // BuildPairs: the threshold it saw, then the scripted outcome (RMSE as a function of the call).
    std::vector<double> pairThresholds;
    std::function<double(size_t call)> pairRmse = [](size_t) { return 1.0; };
    double pairWeightSum = 10.0;
    bool pairTooFewSurfels = false;
    bool pairBoxesOverlap = true;
    CbVector3d pairCentre{0, 0, 0};

    // BuildMatrix writes an identity system with this right side, so the solve gives (t, w) = x;
    // without it the system stays empty and the solve fails.
    bool solvable = true;
    double solution[6] = {0, 0, 0, 0, 0, 0};
    int buildMatrixCalls = 0;

    // The error of a candidate transformation, and the steps and motions asked for.
    std::function<double(const CbMatrix4Rd&)> rmse = [](const CbMatrix4Rd&) { return 1.0; };
    std::vector<double> steps;
    std::vector<CbVector3d> stepTranslations;
    std::function<double(const CbMatrix4Rd&)> offset = [](const CbMatrix4Rd& m) {
        return std::sqrt(m.e[12] * m.e[12] + m.e[13] * m.e[13] + m.e[14] * m.e[14]);
    };

    XoBoundingBox3D overlapBox{CbVector3f(0, 0, 0), CbVector3f(1, 1, 1)};
    double overlapQuotient = 0.9;
    double pairWeightsQuotient = 0.9;
    int overlapCalls = 0;
    int quotientCalls = 0;
    bool modelsMissing = false;

    using VelmTorCorrICPPoint::adjustCOGTransformsFromTransform;
    using VelmTorCorrICPPoint::adjustTransformFromCOGTransforms;
    using VelmTorCorrICPPoint::GetAffineCorrectionMatrix;
    using VelmTorCorrICPPoint::IsImprovement;
    using VelmTorCorrICPPoint::UpdateDistanceThreshold;
    using VelmTorCorrICPPoint::UpdateTransformation;
    using VelmTorCorrICPPoint::SetDistanceThreshold;
    using VelmTorCorrICPPoint::GetDistanceWeight;
    using VelmTorCorrICPPoint::IsAValidPair;
    using VelmTorCorrICPPoint::AreNormalsSimilar;
    using VelmTorCorrICPPoint::IsSimilarCurvature;
    using VelmTorCorrICPPoint::IsOnBoundary;
    using VelmTorCorrICPPoint::GetPairQuality;
    using VelmTorCorrICPPoint::GetSquaredError;
    using VelmTorCorrICPPoint::HasSufficientPairWeights;
    using VelmTorCorrICPPoint::CheckForBoundingBoxOverlap;
    using VelmTorCorrICPPoint::GetBoundingBoxOverlapVolume;
    using VelmTorCorrICPPoint::AccumulatePairWeights;
    using VelmTorCorrICPPoint::dSumTestWeights;
    using VelmTorCorrICPPoint::dSumOverlapWeights;
    using VelmTorCorrICPPoint::dSumMatchedWeights;

    using VelmTorCorrICPPoint::bBoundingBoxesOverlap;
    using VelmTorCorrICPPoint::bConvergedRadiusReached;
    using VelmTorCorrICPPoint::dDistanceThreshold;
    using VelmTorCorrICPPoint::dLastMovement;
    using VelmTorCorrICPPoint::dOffset;
    using VelmTorCorrICPPoint::dRelativeMovement;
    using VelmTorCorrICPPoint::dRMSE;
    using VelmTorCorrICPPoint::dSquaredDistanceThreshold;
    using VelmTorCorrICPPoint::dSumOfPairWeights;
    using VelmTorCorrICPPoint::errorSystem;
    using VelmTorCorrICPPoint::mCenteredTransform;
    using VelmTorCorrICPPoint::mCOGTransform;
    using VelmTorCorrICPPoint::mFromCOG;
    using VelmTorCorrICPPoint::mStartTransform;
    using VelmTorCorrICPPoint::mToCOG;
    using VelmTorCorrICPPoint::mTransform;
    using VelmTorCorrICPPoint::uiIteration;
    using VelmTorCorrICPPoint::vPairCentre;

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
        {
            bSurfelCountTooLow = true;
            return;
        }
        if (!pairBoxesOverlap)
        {
            bBoundingBoxesOverlap = false;
            return;
        }
        uiNrDepthImagePairs = 1;
        uiNrFoundPairs = 7;
        dSumOfPairWeights = pairWeightSum;
        dOverallSumOfPairWeights = pairWeightSum;
        vPairCentre = pairCentre;
        dRMSE = pairRmse(call);
    }

    void BuildMatrix(VelmTorPointToPlaneErrorSystemMatrix& system, bool) override
    {
        ++buildMatrixCalls;
        if (!solvable)
            return;
        for (int i = 0; i < 6; ++i)
        {
            system.aNormalMatrix[i * (i + 1) / 2 + i] += 1.0;
            system.aRightSide[i] += solution[i];
        }
    }

    // A pure translation by step * t (the rotation is ignored): enough to observe the step search.
    CbMatrix4Rd approximateRigidTransformation(const CbVector3d& t, const CbVector3d&, double step) override
    {
        steps.push_back(step);
        stepTranslations.push_back(t);
        return CbMatrix4Rd::Translation(step * t.x, step * t.y, step * t.z);
    }

    void ComputeOverlapRepresentation() override
    {
        ++overlapCalls;
        bbOverlap = overlapBox;
    }

    void ComputePairWeightsQuotient() override
    {
        ++quotientCalls;
        dOverlapQuotient = overlapQuotient;
        dPairWeightsQuotient = pairWeightsQuotient;
    }
};

// A configuration under which a scripted registration succeeds unless a test changes it.
inline VelmTorCorrICPPointConfig PassingConfig()
{
    VelmTorCorrICPPointConfig c;
    c.SetInitialDistanceThreshold(4.0f);
    c.SetAdaptDistanceThreshold(0);
    c.SetDistanceThresholdAdaptionFactor(3.0f);
    c.SetSamplingDensity(0.2f);
    c.SetQueryRadiusThreshold(0.0f);
    c.SetConvergedQueryRadius(0.0f);
    c.SetMaxTransformationUpdates(1);
    c.SetMinImprovement(0.99);
    c.SetMinStepSize(0.1);
    c.SetMaxIterations(50);
    c.SetOffsetThreshold(0.01);
    c.SetMinimumPairWeights(1.0f);
    c.SetMaxDOFConditionNumber(1000.0f);
    c.SetMaxRelativeMovement(100.0f);
    c.SetMinimumOverlapQuotient(0.5);
    c.SetMinimumWeightsQuotient(0.5);
    c.SetDefaultResClassErrorThreshold(2.0);
    return c;
}
} // namespace EngineTest
