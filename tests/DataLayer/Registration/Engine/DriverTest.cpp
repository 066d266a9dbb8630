#include "ScriptedEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace EngineTest;

TEST(Driver, DistanceThresholdAdaptation)
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    ScriptedEngine e;
    e.SetConfiguration(config);
    e.Init();
    EXPECT_EQ(e.dDistanceThreshold, 4.0);
    EXPECT_EQ(e.dSquaredDistanceThreshold, 16.0);

    e.dRMSE = 0.1;
    e.UpdateDistanceThreshold();
    EXPECT_DOUBLE_EQ(e.dDistanceThreshold, 0.3);
    EXPECT_EQ(e.dSquaredDistanceThreshold, e.dDistanceThreshold * e.dDistanceThreshold);

    config.SetSamplingDensity(0.5f);
    e.UpdateDistanceThreshold();
    EXPECT_EQ(e.dDistanceThreshold, 0.5);

    e.dRMSE = std::nan("");
    e.UpdateDistanceThreshold();
    EXPECT_TRUE(std::isnan(e.dDistanceThreshold));

    // Below fQueryRadiusThreshold without a converged radius: no switch, adaptation goes on.
    config.SetSamplingDensity(0.2f);
    config.SetQueryRadiusThreshold(1.0f);
    e.dRMSE = 0.1;
    e.UpdateDistanceThreshold();
    EXPECT_DOUBLE_EQ(e.dDistanceThreshold, 0.3);
    EXPECT_FALSE(e.bConvergedRadiusReached);

    // Equal is not below: no switch either.
    config.SetConvergedQueryRadius(0.25f);
    config.SetQueryRadiusThreshold(0.5f);
    config.SetSamplingDensity(0.5f);
    e.UpdateDistanceThreshold();
    EXPECT_EQ(e.dDistanceThreshold, 0.5);
    EXPECT_FALSE(e.bConvergedRadiusReached);

    // The switch happens once and holds, also when the error grows again.
    config.SetSamplingDensity(0.2f);
    e.UpdateDistanceThreshold();
    EXPECT_EQ(e.dDistanceThreshold, 0.25);
    EXPECT_TRUE(e.bConvergedRadiusReached);
    e.dRMSE = 10.0;
    e.UpdateDistanceThreshold();
    EXPECT_EQ(e.dDistanceThreshold, 0.25);

    // Until the next registration.
    e.Init();
    EXPECT_FALSE(e.bConvergedRadiusReached);
    EXPECT_EQ(e.dDistanceThreshold, 4.0);
}

TEST(Driver, FirstAdaptiveIterationBuildsPairsTwice)
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    config.SetAdaptDistanceThreshold(1);
    ScriptedEngine e;
    e.SetConfiguration(config);
    e.pairRmse = [](size_t call) { return call == 0 ? 0.5 : 0.2; };
    e.Init();
    e.DoICPIteration();
    e.DoICPIteration();
    ASSERT_EQ(e.pairThresholds.size(), 3u);
    EXPECT_EQ(e.pairThresholds[0], 4.0);           // initial threshold
    EXPECT_DOUBLE_EQ(e.pairThresholds[1], 1.5);    // 3 x 0.5
    EXPECT_DOUBLE_EQ(e.pairThresholds[2], 0.6);    // 3 x 0.2
    EXPECT_EQ(e.uiIteration, 2u);

    // Any other value than 1 leaves the threshold fixed: one pair building per iteration.
    for (int mode : {0, 2, -1})
    {
        config.SetAdaptDistanceThreshold(mode);
        ScriptedEngine f;
        f.SetConfiguration(config);
        f.Init();
        for (int i = 0; i < 3; ++i)
            f.DoICPIteration();
        EXPECT_EQ(f.pairThresholds, std::vector<double>(3, 4.0)) << mode;
    }
}

TEST(Driver, IterationLimitsAndFinishingOrder)
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    config.SetMaxIterations(0);
    ScriptedEngine e;
    e.SetConfiguration(config);
    // An update that keeps moving, so that only the limit can end the loop.
    e.offset = [](const CbMatrix4Rd&) { return 1.0; };
    e.CalculateICPTransform();
    EXPECT_EQ(e.GetResult()->GetNrIterations(), 1u);
    EXPECT_EQ(e.GetResult()->GetState(), VelmTorCorrICPRegistrationResult::NotConverged);
    EXPECT_EQ(e.GetResult()->GetFailureCause().Str(), L" uiIterations=1 (0) fOffset=1.000000 (0.010000)");

    config.SetMaxIterations(3);
    e.CalculateICPTransform();
    EXPECT_EQ(e.GetResult()->GetNrIterations(), 3u);

    e.Init();
    e.dOffset = 1.0;
    e.dSumOfPairWeights = 2.0;
    config.SetMaxIterations(-1); // unsigned: never reached by the counter
    e.uiIteration = 1000000;
    EXPECT_FALSE(e.IsFinished());
    config.SetMaxIterations(1000000);
    EXPECT_TRUE(e.IsFinished());
    config.SetMaxIterations(-1);
    e.dOffset = 0.01; // not below the threshold
    EXPECT_FALSE(e.IsFinished());
    e.dOffset = 0.00999;
    EXPECT_TRUE(e.IsFinished());
    e.dOffset = 1.0;
    e.dSumOfPairWeights = 1.0; // not above the minimum
    EXPECT_TRUE(e.IsFinished());
    e.dSumOfPairWeights = std::nan("");
    EXPECT_TRUE(e.IsFinished());
}

TEST(Driver, SecondHalfUpdatesOnlyWithWeightAndOverlap)
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    ScriptedEngine e;
    e.SetConfiguration(config);
    e.Init();
    e.dSumOfPairWeights = 1.0; // equal to the minimum
    e.DoICPIteration2(true);
    EXPECT_EQ(e.buildMatrixCalls, 0);
    EXPECT_EQ(e.uiIteration, 1u);
    e.DoICPIteration2(false);
    EXPECT_EQ(e.buildMatrixCalls, 1);
    e.dSumOfPairWeights = 5.0;
    e.bBoundingBoxesOverlap = false;
    e.DoICPIteration2(true);
    EXPECT_EQ(e.buildMatrixCalls, 1);
    e.bBoundingBoxesOverlap = true;
    e.DoICPIteration2(true);
    EXPECT_EQ(e.buildMatrixCalls, 2);
    EXPECT_EQ(e.uiIteration, 4u);

    // Too little pair weight: no update, and the registration ends after its first iteration.
    ScriptedEngine f;
    f.SetConfiguration(config);
    f.pairWeightSum = 0.5;
    f.offset = [](const CbMatrix4Rd&) { return 1.0; };
    f.CalculateICPTransform();
    EXPECT_EQ(f.buildMatrixCalls, 0);
    EXPECT_EQ(f.GetResult()->GetNrIterations(), 1u);
    EXPECT_EQ(f.GetResult()->GetState(), VelmTorCorrICPRegistrationResult::OverlapQualityBad);
}

TEST(Driver, ResultStatesAndCopiedMeasures)
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    ScriptedEngine e;
    e.SetConfiguration(config);
    e.pairRmse = [](size_t) { return 0.125; };
    e.pairCentre = CbVector3d(1, 2, 3);
    e.CalculateICPTransform();
    auto r = e.GetResult();
    EXPECT_EQ(r->GetState(), VelmTorCorrICPRegistrationResult::Success);
    EXPECT_TRUE(r->GetFailureCause().IsEmpty());
    EXPECT_EQ(r->GetNrIterations(), 1u);
    EXPECT_EQ(r->GetRMSE(), 0.125);
    EXPECT_EQ(r->GetSumOfWeights(), 10.0);
    EXPECT_EQ(r->GetNrFoundPairs(), 7u);
    EXPECT_EQ(r->GetNrDepthImagePairs(), 1u);
    EXPECT_EQ(r->GetFinalDistanceThreshold(), 4.0);
    EXPECT_EQ(r->GetOverlapQuotient(), 0.9);
    EXPECT_EQ(r->GetPairWeightsQuotient(), 0.9);
    EXPECT_EQ(r->GetDegreeOfFreedomDescriptionFix().vCentre, CbVector3f(1, 2, 3));
    EXPECT_EQ(e.GetDOFDescriptionFix().get(), &r->GetDegreeOfFreedomDescriptionFix());
    EXPECT_EQ(e.GetDOFDescriptionFlt(), nullptr);

    // A NaN quotient fails without a message of its own: "Failed", or "NoOverlap" without overlap.
    e.overlapQuotient = std::nan("");
    e.CalculateICPTransform();
    EXPECT_EQ(e.GetResult()->GetState(), VelmTorCorrICPRegistrationResult::Failed);
    EXPECT_TRUE(e.GetResult()->GetFailureCause().IsEmpty());
    e.pairBoxesOverlap = false;
    config.SetMinimumPairWeights(-1.0f);
    e.CalculateICPTransform();
    EXPECT_EQ(e.GetResult()->GetState(), VelmTorCorrICPRegistrationResult::NoOverlap);

    // Too few surfels: only the state is written, and the next registration is judged afresh.
    e.pairTooFewSurfels = true;
    e.CalculateICPTransform();
    r = e.GetResult();
    EXPECT_EQ(r->GetState(), VelmTorCorrICPRegistrationResult::SurfelCountTooLow);
    EXPECT_EQ(r->GetNrIterations(), 0u);
    EXPECT_EQ(r->GetRMSE(), 0.0);
    EXPECT_EQ(r->GetTransformation(), CbMatrix4Rd::Identity());
    EXPECT_EQ(r->GetDegreeOfFreedomDescriptionFix().fScale, 0.0f);
    e.pairTooFewSurfels = false;
    e.pairBoxesOverlap = true;
    e.overlapQuotient = 0.9;
    config.SetMinimumPairWeights(1.0f);
    e.CalculateICPTransform();
    EXPECT_EQ(e.GetResult()->GetState(), VelmTorCorrICPRegistrationResult::Success);
}

TEST(Driver, ResultsHandedOutSurviveLaterRegistrations)
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    ScriptedEngine e;
    e.SetConfiguration(config);
    e.CalculateICPTransform();
    const auto first = e.GetResult();
    const auto* firstDescription = &first->GetDegreeOfFreedomDescriptionFix();
    const float firstValue = firstDescription->aEigenValues[0];

    ScriptedEngine copy(e);
    EXPECT_EQ(copy.GetResult(), first);

    e.errorSystem.aNormalMatrix[0] = 5.0;
    e.pairRmse = [](size_t) { return 0.5; };
    e.CalculateICPTransform();
    EXPECT_NE(e.GetResult(), first);
    EXPECT_EQ(first->GetRMSE(), 1.0);
    EXPECT_EQ(&first->GetDegreeOfFreedomDescriptionFix(), firstDescription);
    EXPECT_EQ(first->GetDegreeOfFreedomDescriptionFix().aEigenValues[0], firstValue);
    EXPECT_NE(&e.GetResult()->GetDegreeOfFreedomDescriptionFix(), firstDescription);
    EXPECT_EQ(copy.GetResult(), first);

    // Init keeps the transformation reached, the RMSE and the pair centre.
    e.mTransform = CbMatrix4Rd::Translation(1, 2, 3);
    e.vPairCentre = CbVector3d(4, 5, 6);
    e.Init();
    EXPECT_EQ(e.GetTransform(), CbMatrix4Rd::Translation(1, 2, 3));
    EXPECT_EQ(e.dRMSE, 0.5);
    EXPECT_EQ(e.vPairCentre, CbVector3d(4, 5, 6));
}

TEST(Driver, MissingConfigurationOrModelsThrowWithoutChangingTheEngine)
{
    ScriptedEngine e;
    const auto result = e.GetResult();
    auto expectThrow = [&](const std::function<void()>& call) {
        EXPECT_THROW(call(), VelmException);
        EXPECT_EQ(e.GetResult(), result);
        EXPECT_TRUE(e.pairThresholds.empty());
    };
    expectThrow([&] { e.Init(); });
    expectThrow([&] { e.CalculateICPTransform(); });
    expectThrow([&] { e.DoICPIteration(); });
    expectThrow([&] { e.DoICPIteration1(); });
    expectThrow([&] { e.DoICPIteration2(false); });
    expectThrow([&] { e.IsFinished(); });
    expectThrow([&] { e.SetResultValues(); });
    expectThrow([&] { e.IsSuccesful(); });
    expectThrow([&] { e.GetConfiguration(); });
    try
    {
        e.Init();
    }
    catch (const VelmException& ex)
    {
        EXPECT_EQ(ex.GetWideMessage().Str(), L"No configuration has been set: call SetConfiguration before "
                                             L"DataLayer::VelmTorCorrICPPoint::Init.");
        EXPECT_STREQ(ex.GetFilename(), "velm/DataLayer/Registration/VelmTorCorrICPPoint_Driver.cpp");
    }

    VelmTorCorrICPPointConfig config = PassingConfig();
    e.SetConfiguration(config);
    EXPECT_EQ(&e.GetConfiguration(), &config);
    e.modelsMissing = true;
    expectThrow([&] { e.CalculateICPTransform(); });
    expectThrow([&] { e.DoICPIteration1(); });
    expectThrow([&] { e.SetResultValues(); });

    // Evaluating needs the description that SetResultValues computes first.
    e.modelsMissing = false;
    EXPECT_THROW(e.IsSuccesful(), VelmException);
}

TEST(Driver, StartAndCentredTransformations)
{
    ScriptedEngine e;
    EXPECT_EQ(e.GetTransform(), CbMatrix4Rd::Identity());
    CbMatrix4Rd a = CbMatrix4Rd::Translation(1, 2, 3);
    a.e[0] = 0;
    a.e[1] = 1;
    a.e[4] = -1;
    a.e[5] = 0; // quarter turn about z, then the translation
    const CbMatrix4Rd b = CbMatrix4Rd::Translation(5, 0, -1);
    e.ComputeInitialTransform(a, b);
    const CbVector3d p = e.GetTransform().TransformPoint(CbVector3d(1, 0, 0));
    EXPECT_EQ(p, CbVector3d(1 - 5, 3, 3 + 1));
    EXPECT_EQ(e.mStartTransform, e.mTransform);

    CbMatrix4Rd singular = b;
    singular.e[5] = 0.0;
    EXPECT_THROW(e.ComputeInitialTransform(a, singular), XoExceptionNotInvertible);
    EXPECT_EQ(e.GetTransform().TransformPoint(CbVector3d(1, 0, 0)), CbVector3d(-4, 3, 4));

    e.SetTransform(CbMatrix4Rd::Translation(10, 0, 0));
    EXPECT_EQ(e.mStartTransform, CbMatrix4Rd::Translation(10, 0, 0));
    e.vPairCentre = CbVector3d(1, 2, 3);
    e.adjustCOGTransformsFromTransform();
    EXPECT_EQ(e.mToCOG, CbMatrix4Rd::Translation(-1, -2, -3));
    EXPECT_EQ(e.mFromCOG, CbMatrix4Rd::Translation(1, 2, 3));
    EXPECT_EQ(e.mCOGTransform, CbMatrix4Rd::Translation(9, -2, -3));
    EXPECT_EQ(e.mCenteredTransform, e.mCOGTransform);
    e.mCOGTransform = CbMatrix4Rd::Translation(0, 0, 0);
    e.adjustTransformFromCOGTransforms();
    EXPECT_EQ(e.GetTransform(), CbMatrix4Rd::Translation(1, 2, 3));
    EXPECT_EQ(e.mCenteredTransform, CbMatrix4Rd::Identity());
}
