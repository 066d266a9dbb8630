#include "SurfelEngineSupport.h"

#include "velm/Frame/CString.h"

#include <gtest/gtest.h>

#include <thread>

using namespace SurfelEngineTest;
using DataLayer::VelmTorCorrICPRegistrationResult;
using State = DataLayer::VelmTorCorrICPRegistrationResult::ERegistrationState;

namespace
{
CbMatrix4Rd Inverse(CbMatrix4Rd m)
{
    m.Invert();
    return m;
}

// Two scans of one surface: the fixed scan's frame is the surface frame; the floating scan covers a
// shifted window on an offset grid (so no surfel of one scan coincides with one of the other) and
// is expressed in a frame that `truth` maps back onto the fixed one.
struct ScanPair
{
    CbMatrix4Rd truth;
    std::unique_ptr<Base::CSurfelCollection> fix;
    std::unique_ptr<Base::CSurfelCollection> flt;

    ScanPair(const CbMatrix4Rd& motion, double relief = 1.0) : truth(motion)
    {
        Surface surface;
        surface.relief = relief;
        fix = Collection(Scan(surface, -30.0, -30.0, 61, 61, 1.0, CbMatrix4Rd()));
        flt = Collection(Scan(surface, -25.37, -31.61, 61, 61, 1.0, Inverse(motion)));
    }
};

const CbMatrix4Rd& Motion(int k)
{
    static const CbMatrix4Rd motions[] = {
        RigidMotion(1.0, 2.0, 3.0, 0.05, CbVector3d(1.5, -1.0, 0.8)),
        RigidMotion(-2.0, 1.0, 0.5, 0.07, CbVector3d(-2.0, 0.5, 1.5)),
        RigidMotion(0.0, 0.0, 1.0, -0.04, CbVector3d(0.5, 2.0, -0.7)),
    };
    return motions[k];
}

struct Registration
{
    VelmTorCorrICPPointSC engine;
    std::shared_ptr<const VelmTorCorrICPRegistrationResult> result;

    Registration(const ScanPair& scans, const VelmTorCorrICPPointConfig& config, const CbMatrix4Rd& start = CbMatrix4Rd())
    {
        engine.SetConfiguration(config);
        engine.SetModelFix(*scans.fix, nullptr);
        engine.SetModelFloat(*scans.flt, nullptr);
        engine.SetTransform(start);
    }
    const VelmTorCorrICPRegistrationResult& Calculate()
    {
        engine.CalculateICPTransform();
        result = engine.GetResult();
        return *result;
    }
};

float ConditionNumber(const VelmTorCorrICPPointSC& engine)
{
    const auto& d = *engine.GetDOFDescriptionFix();
    return d.aEigenValues[0] / d.aEigenValues[5];
}

CString Message(const wchar_t* format, double value, double limit)
{
    CString text;
    text.Format(format, value, limit);
    return text;
}
} // namespace

TEST(SurfelEngineEndToEnd, RecoversKnownRigidMotions)
{
    const VelmTorCorrICPPointConfig config = SyntheticScanConfig();
    for (int k = 0; k < 3; ++k)
    {
        SCOPED_TRACE(k);
        const ScanPair scans(Motion(k));
        Registration run(scans, config);
        const VelmTorCorrICPRegistrationResult& result = run.Calculate();

        EXPECT_EQ(result.GetState(), State::Success);
        EXPECT_TRUE(result.GetSuccess());
        EXPECT_EQ(result.GetFailureCause(), CString(L""));
        EXPECT_LT(RotationError(result.GetTransformation(), scans.truth), 1e-4);
        EXPECT_LT(TranslationError(result.GetTransformation(), scans.truth), 0.002);
        EXPECT_EQ(result.GetTransformation(), run.engine.GetTransform());
        EXPECT_EQ(result.GetICPStartTransformation(), CbMatrix4Rd());

        // The measures describe a converged, well-constrained, largely overlapping registration.
        EXPECT_LT(result.GetRMSE(), 0.002);
        EXPECT_GT(result.GetNrIterations(), 1u);
        EXPECT_LT(result.GetNrIterations(), 50u);
        EXPECT_EQ(result.GetNrDepthImagePairs(), 1u);
        EXPECT_GT(result.GetNrFoundPairs(), 1000u);
        EXPECT_LE(result.GetNrFoundPairs(), 1500u);
        EXPECT_EQ(result.GetFinalDistanceThreshold(), 2.0);
        EXPECT_GT(result.GetOverlapQuotient(), 0.75);
        EXPECT_GT(result.GetPairWeightsQuotient(), 0.9);
        EXPECT_LT(result.GetOffset(), 0.001);
        const float condition = ConditionNumber(run.engine);
        EXPECT_GT(condition, 1.0f);
        EXPECT_LT(condition, 1000.0f);
    }
}

TEST(SurfelEngineEndToEnd, FailureStatesReachedOnPurpose)
{
    const ScanPair scans(Motion(0));
    {
        // The floating scan has fewer surfels than demanded.
        VelmTorCorrICPPointConfig config = SyntheticScanConfig();
        config.SetMinimumNumberSurfelsFloat(10000);
        Registration run(scans, config);
        const VelmTorCorrICPRegistrationResult& result = run.Calculate();
        EXPECT_EQ(result.GetState(), State::SurfelCountTooLow);
        EXPECT_EQ(result.GetFailureCause(), CString(L""));
        EXPECT_EQ(result.GetNrIterations(), 0u);
    }
    {
        // Started 500 mm apart, the scans' boxes never meet. A negative minimum pair weight lets
        // the empty pairing pass the pair-weight rule, so the missing overlap decides the state.
        VelmTorCorrICPPointConfig config = SyntheticScanConfig();
        config.SetMinimumPairWeights(-1.0f);
        Registration run(scans, config, CbMatrix4Rd::Translation(500.0, 0.0, 0.0));
        const VelmTorCorrICPRegistrationResult& result = run.Calculate();
        EXPECT_EQ(result.GetState(), State::NoOverlap);
        EXPECT_EQ(result.GetFailureCause(), CString(L"")); // NaN quotients fail without a message
        EXPECT_EQ(result.GetNrDepthImagePairs(), 0u);
        EXPECT_EQ(result.GetNrFoundPairs(), 0u);
        EXPECT_EQ(result.GetNrIterations(), 1u);
        EXPECT_TRUE(std::isnan(result.GetOverlapQuotient()));

        // With a non-negative minimum the pair-weight rule fires first.
        config.SetMinimumPairWeights(0.0f);
        const VelmTorCorrICPRegistrationResult& weightFirst = run.Calculate();
        EXPECT_EQ(weightFirst.GetState(), State::OverlapQualityBad);
        EXPECT_EQ(weightFirst.GetFailureCause(),
                  Message(L" fConvergenceSumOfPairWeights=%f (%f)", 0.0, 0.0));
    }
    {
        // Aligned from the start, but the demanded pair weight is out of reach.
        VelmTorCorrICPPointConfig config = SyntheticScanConfig();
        config.SetMinimumPairWeights(1e9f);
        Registration run(scans, config, scans.truth);
        const VelmTorCorrICPRegistrationResult& result = run.Calculate();
        EXPECT_EQ(result.GetState(), State::OverlapQualityBad);
        EXPECT_EQ(result.GetNrIterations(), 1u);
        EXPECT_GT(result.GetSumOfWeights(), 1000.0);
        EXPECT_EQ(result.GetFailureCause(),
                  Message(L" fConvergenceSumOfPairWeights=%f (%f)", result.GetSumOfWeights(), 1e9));
    }
}

TEST(SurfelEngineEndToEnd, IterationLimitGivesNotConvergedWithItsSingleMessage)
{
    const ScanPair scans(Motion(1));
    const VelmTorCorrICPPointConfig config = SyntheticScanConfig();
    Registration converged(scans, config);
    ASSERT_EQ(converged.Calculate().GetState(), State::Success);

    // Restarted from its own answer with a limit of one iteration: everything else passes, but a
    // run that used up its iterations is not converged.
    VelmTorCorrICPPointConfig limited = SyntheticScanConfig();
    limited.SetMaxIterations(1);
    Registration run(scans, limited, converged.result->GetTransformation());
    const VelmTorCorrICPRegistrationResult& result = run.Calculate();
    EXPECT_EQ(result.GetState(), State::NotConverged);
    EXPECT_EQ(result.GetFailureCause(), CString(L" uiIterations=1 (1)"));
    EXPECT_EQ(result.GetNrIterations(), 1u);
}

TEST(SurfelEngineEndToEnd, NearlyFlatScansHaveTooManyDegreesOfFreedom)
{
    // A relief of a few micrometres cannot pin the motions within the plane. The motion tilts and
    // lifts the floating scan, which point-to-plane alignment can undo.
    const ScanPair scans(RigidMotion(1.0, -1.0, 0.0, 0.02, CbVector3d(0.0, 0.0, 0.6)), 0.001);
    const VelmTorCorrICPPointConfig config = SyntheticScanConfig();
    Registration run(scans, config);
    const VelmTorCorrICPRegistrationResult& result = run.Calculate();

    EXPECT_EQ(result.GetState(), State::TooManyDOF);
    const float condition = ConditionNumber(run.engine);
    EXPECT_GT(condition, 1000.0f);
    EXPECT_EQ(result.GetFailureCause(), Message(L" conditionNumber=%f (%f)", condition, 1000.0));
    // The constrained motion, the lift along the normal, is still undone.
    const CbVector3d centre = scans.flt->GetDerivedData()->GetCovarianceEllipsoid().GetCentre();
    EXPECT_NEAR(result.GetTransformation().TransformPoint(centre).z, scans.truth.TransformPoint(centre).z, 0.01);
}

TEST(SurfelEngineEndToEnd, HostControlledLoopAgreesWithTheOneCall)
{
    const ScanPair scans(Motion(2));
    const VelmTorCorrICPPointConfig config = SyntheticScanConfig();
    Registration reference(scans, config);
    const VelmTorCorrICPRegistrationResult& expected = reference.Calculate();
    ASSERT_EQ(expected.GetState(), State::Success);

    for (int halves = 0; halves < 2; ++halves)
    {
        SCOPED_TRACE(halves);
        Registration run(scans, config);
        run.engine.Init();
        do
        {
            if (halves)
            {
                run.engine.DoICPIteration1();
                run.engine.DoICPIteration2(true);
            }
            else
                run.engine.DoICPIteration();
        } while (!run.engine.IsFinished());
        run.engine.SetResultValues();
        const auto result = run.engine.GetResult();

        EXPECT_EQ(result->GetState(), expected.GetState());
        EXPECT_EQ(result->GetTransformation(), expected.GetTransformation());
        EXPECT_EQ(result->GetRMSE(), expected.GetRMSE());
        EXPECT_EQ(result->GetNrIterations(), expected.GetNrIterations());
        EXPECT_EQ(result->GetNrFoundPairs(), expected.GetNrFoundPairs());
        EXPECT_EQ(result->GetSumOfWeights(), expected.GetSumOfWeights());
        EXPECT_EQ(result->GetOverlapQuotient(), expected.GetOverlapQuotient());
        EXPECT_EQ(result->GetFailureCause(), expected.GetFailureCause());
    }
}

TEST(SurfelEngineEndToEnd, TwoEnginesInTwoThreadsOnTheSameCollections)
{
    const ScanPair scans(Motion(0));
    const VelmTorCorrICPPointConfig config = SyntheticScanConfig();
    const CbMatrix4Rd starts[2] = {CbMatrix4Rd(), CbMatrix4Rd::Translation(0.5, 0.5, 0.0)};

    std::shared_ptr<const VelmTorCorrICPRegistrationResult> parallel[2];
    {
        Registration a(scans, config, starts[0]);
        Registration b(scans, config, starts[1]);
        std::thread first([&] { a.Calculate(); });
        std::thread second([&] { b.Calculate(); });
        first.join();
        second.join();
        parallel[0] = a.result;
        parallel[1] = b.result;
    }
    for (int k = 0; k < 2; ++k)
    {
        SCOPED_TRACE(k);
        Registration alone(scans, config, starts[k]);
        const VelmTorCorrICPRegistrationResult& expected = alone.Calculate();
        ASSERT_TRUE(parallel[k]);
        EXPECT_EQ(parallel[k]->GetState(), State::Success);
        EXPECT_EQ(parallel[k]->GetTransformation(), expected.GetTransformation());
        EXPECT_EQ(parallel[k]->GetRMSE(), expected.GetRMSE());
        EXPECT_EQ(parallel[k]->GetNrIterations(), expected.GetNrIterations());
    }
}
