#include "SurfelEngineSupport.h"

#include "velm/Frame/CString.h"

#include <gtest/gtest.h>

#include <thread>

using namespace SurfelEngineTest;
using DataLayer::VelmTorCorrICPRegistrationResult;
using State = DataLayer::VelmTorCorrICPRegistrationResult::ERegistrationState;

namespace
{
// Two 61 x 61 scans of one surface: the fixed one in the surface frame, the floating one over a
// shifted window on an offset grid, in a frame that `truth` maps back onto the fixed one.
struct ScanPair
{
    CbMatrix4Rd truth;
    std::unique_ptr<Base::CSurfelCollection> fix, flt;

    explicit ScanPair(const CbMatrix4Rd& motion, double relief = 1.0) : truth(motion)
    {
        const Surface surface{relief};
        CbMatrix4Rd inverse = motion;
        inverse.Invert();
        fix = Collection(Scan(surface, -30.0, -30.0, 61, 61, CbMatrix4Rd()));
        flt = Collection(Scan(surface, -25.37, -31.61, 61, 61, inverse));
    }
};

const CbMatrix4Rd c_Motions[] = {RigidMotion({1.0, 2.0, 3.0}, 0.05, CbVector3d(1.5, -1.0, 0.8)),
                                 RigidMotion({-2.0, 1.0, 0.5}, 0.07, CbVector3d(-2.0, 0.5, 1.5)),
                                 RigidMotion({0.0, 0.0, 1.0}, -0.04, CbVector3d(0.5, 2.0, -0.7))};

// Owns its configuration, which the engine only refers to.
struct Registration
{
    VelmTorCorrICPPointConfig config;
    VelmTorCorrICPPointSC engine;
    std::shared_ptr<const VelmTorCorrICPRegistrationResult> result;

    Registration(const ScanPair& scans, const VelmTorCorrICPPointConfig& c, const CbMatrix4Rd& start = CbMatrix4Rd())
        : config(c)
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

void ExpectSameOutcome(const VelmTorCorrICPRegistrationResult& a, const VelmTorCorrICPRegistrationResult& b)
{
    EXPECT_EQ(a.GetState(), b.GetState());
    EXPECT_EQ(a.GetTransformation(), b.GetTransformation());
    EXPECT_EQ(a.GetRMSE(), b.GetRMSE());
    EXPECT_EQ(a.GetNrIterations(), b.GetNrIterations());
    EXPECT_EQ(a.GetSumOfWeights(), b.GetSumOfWeights());
    EXPECT_EQ(a.GetFailureCause(), b.GetFailureCause());
}
} // namespace

TEST(SurfelEngineEndToEnd, RecoversKnownRigidMotions)
{
    for (const CbMatrix4Rd& motion : c_Motions)
    {
        const ScanPair scans(motion);
        Registration run(scans, SyntheticScanConfig());
        const VelmTorCorrICPRegistrationResult& result = run.Calculate();
        EXPECT_EQ(result.GetState(), State::Success);
        EXPECT_EQ(result.GetFailureCause(), CString(L""));
        EXPECT_LT(RotationError(result.GetTransformation(), scans.truth), 1e-4);
        EXPECT_LT(TranslationError(result.GetTransformation(), scans.truth), 0.002);
        EXPECT_LT(result.GetRMSE(), 0.002);
        EXPECT_EQ(result.GetFinalDistanceThreshold(), 2.0);
        EXPECT_GT(result.GetOverlapQuotient(), 0.75);
        EXPECT_LT(ConditionNumber(run.engine), 1000.0f);
    }
}

TEST(SurfelEngineEndToEnd, FailureStatesReachedOnPurpose)
{
    const ScanPair scans(c_Motions[0]);
    VelmTorCorrICPPointConfig config = SyntheticScanConfig();
    config.SetMinimumNumberSurfelsFloat(10000); // the floating scan has 3721
    Registration tooFew(scans, config);
    EXPECT_EQ(tooFew.Calculate().GetState(), State::SurfelCountTooLow);
    EXPECT_EQ(tooFew.result->GetFailureCause(), CString(L""));
    EXPECT_EQ(tooFew.result->GetNrIterations(), 0u);

    // Started 500 mm apart the boxes never meet; a negative minimum pair weight lets the empty
    // pairing pass the pair-weight rule, so the missing overlap decides (NaN quotients, no message).
    config = SyntheticScanConfig();
    config.SetMinimumPairWeights(-1.0f);
    Registration apart(scans, config, CbMatrix4Rd::Translation(500.0, 0.0, 0.0));
    EXPECT_EQ(apart.Calculate().GetState(), State::NoOverlap);
    EXPECT_EQ(apart.result->GetFailureCause(), CString(L""));
    EXPECT_EQ(apart.result->GetNrFoundPairs(), 0u);
    EXPECT_TRUE(std::isnan(apart.result->GetOverlapQuotient()));
    // With a non-negative minimum the pair-weight rule fires first.
    apart.config.SetMinimumPairWeights(0.0f);
    EXPECT_EQ(apart.Calculate().GetState(), State::OverlapQualityBad);
    EXPECT_EQ(apart.result->GetFailureCause(), CString(L" fConvergenceSumOfPairWeights=0.000000 (0.000000)"));

    // Aligned from the start, but the demanded pair weight is out of reach.
    config.SetMinimumPairWeights(1e9f);
    Registration greedy(scans, config, scans.truth);
    const VelmTorCorrICPRegistrationResult& result = greedy.Calculate();
    EXPECT_EQ(result.GetState(), State::OverlapQualityBad);
    EXPECT_GT(result.GetSumOfWeights(), 1000.0);
    EXPECT_EQ(result.GetFailureCause(),
              Message(L" fConvergenceSumOfPairWeights=%f (%f)", result.GetSumOfWeights(), 1e9));

    // Started at the true motion with one iteration: everything else passes, but a run that used
    // up its iterations is not converged.
    config = SyntheticScanConfig();
    config.SetMaxIterations(1);
    Registration limited(scans, config, scans.truth);
    EXPECT_EQ(limited.Calculate().GetState(), State::NotConverged);
    EXPECT_EQ(limited.result->GetFailureCause(), CString(L" uiIterations=1 (1)"));
}

TEST(SurfelEngineEndToEnd, NearlyFlatScansHaveTooManyDegreesOfFreedom)
{
    // A relief of micrometres cannot pin the motions within the plane; the tilt and lift of the
    // floating scan can still be undone.
    const ScanPair scans(RigidMotion({1.0, -1.0, 0.0}, 0.02, CbVector3d(0.0, 0.0, 0.6)), 0.001);
    Registration run(scans, SyntheticScanConfig());
    const VelmTorCorrICPRegistrationResult& result = run.Calculate();
    EXPECT_EQ(result.GetState(), State::TooManyDOF);
    const float condition = ConditionNumber(run.engine);
    EXPECT_GT(condition, 1000.0f);
    EXPECT_EQ(result.GetFailureCause(), Message(L" conditionNumber=%f (%f)", condition, 1000.0));
    const CbVector3d centre = scans.flt->GetDerivedData()->GetCovarianceEllipsoid().GetCentre();
    EXPECT_NEAR(result.GetTransformation().TransformPoint(centre).z, scans.truth.TransformPoint(centre).z, 0.01);
}

TEST(SurfelEngineEndToEnd, HostControlledLoopAgreesWithTheOneCall)
{
    const ScanPair scans(c_Motions[2]);
    Registration reference(scans, SyntheticScanConfig());
    ASSERT_EQ(reference.Calculate().GetState(), State::Success);
    for (bool halves : {false, true})
    {
        Registration run(scans, SyntheticScanConfig());
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
        ExpectSameOutcome(*run.engine.GetResult(), *reference.result);
    }
}

TEST(SurfelEngineEndToEnd, TwoEnginesInTwoThreadsOnTheSameCollections)
{
    const ScanPair scans(c_Motions[0]);
    const VelmTorCorrICPPointConfig config = SyntheticScanConfig();
    const CbMatrix4Rd starts[2] = {CbMatrix4Rd(), CbMatrix4Rd::Translation(0.5, 0.5, 0.0)};
    Registration a(scans, config, starts[0]), b(scans, config, starts[1]);
    std::thread first([&] { a.Calculate(); });
    std::thread second([&] { b.Calculate(); });
    first.join();
    second.join();
    for (const Registration* parallel : {&a, &b})
    {
        Registration alone(scans, config, parallel == &a ? starts[0] : starts[1]);
        EXPECT_EQ(parallel->result->GetState(), State::Success);
        ExpectSameOutcome(*parallel->result, alone.Calculate());
    }
}
