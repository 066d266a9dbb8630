#include "DataLayer/EngineRigs.h"

using namespace EngineTest;
using DriverTest = EngineFixture;

TEST_F(DriverTest, DistanceThresholdAdaptationAndWhenItRuns)
{
    e.Init();
    EXPECT_TRUE(e.dDistanceThreshold == 4.0 && e.dSquaredDistanceThreshold == 16.0);
    // In order: 3 x RMSE, or the density when larger; NaN stays; no switch without a converged radius;
    // equal to the query radius threshold is not below it; the switch holds when the error grows again.
    const double nan = std::nan("");
    for (const auto& [queryThreshold, converged, rmse, density, expected] :
         {std::tuple(0.0f, 0.0f, 0.1, 0.2f, 3 * 0.1), std::tuple(0.0f, 0.0f, 0.1, 0.5f, 0.5),
          std::tuple(0.0f, 0.0f, nan, 0.5f, nan), std::tuple(1.0f, 0.0f, 0.1, 0.2f, 3 * 0.1),
          std::tuple(0.5f, 0.25f, 0.1, 0.5f, 0.5), std::tuple(0.5f, 0.25f, 0.1, 0.2f, 0.25),
          std::tuple(0.5f, 0.25f, 10.0, 0.2f, 0.25)})
    {
        config.SetQueryRadiusThreshold(queryThreshold), config.SetConvergedQueryRadius(converged);
        config.SetSamplingDensity(density);
        e.dRMSE = rmse;
        e.UpdateDistanceThreshold();
        EXPECT_TRUE(std::isnan(expected)
                        ? std::isnan(e.dDistanceThreshold)
                        : e.dDistanceThreshold == expected && e.dSquaredDistanceThreshold == expected * expected)
            << rmse << " " << density;
    }
    e.Init();
    EXPECT_TRUE(!e.bConvergedRadiusReached && e.dDistanceThreshold == 4.0);

    // Only adaptive mode 1 builds the pairs twice in the first iteration.
    config = PassingConfig(), e.pairRmse = [](size_t call) { return call == 0 ? 0.5 : 0.2; };
    for (int mode : {1, 0, 2, -1})
    {
        config.SetAdaptDistanceThreshold(mode);
        e.pairThresholds.clear();
        e.Init();
        e.DoICPIteration();
        e.DoICPIteration();
        EXPECT_EQ(e.pairThresholds,
                  (mode == 1 ? std::vector<double>{4.0, 3.0 * 0.5, 3.0 * 0.2} : std::vector<double>{4.0, 4.0}))
            << mode;
        EXPECT_EQ(e.uiIteration, 2u);
    }
}

TEST_F(DriverTest, IterationLimitsFinishingOrderAndWhenTheSecondHalfUpdates)
{
    // An update that keeps moving, so that only the limit ends the loop; a limit of 0 still runs once.
    e.offset = [](const CbMatrix4Rd&) { return 1.0; };
    config.SetMaxIterations(0);
    e.CalculateICPTransform();
    EXPECT_TRUE(e.GetResult()->GetNrIterations() == 1u && e.GetResult()->GetState() == Result::NotConverged);
    EXPECT_EQ(e.GetResult()->GetFailureCause().Str(), L" uiIterations=1 (0) fOffset=1.000000 (0.010000)");
    config.SetMaxIterations(3);
    e.CalculateICPTransform();
    EXPECT_EQ(e.GetResult()->GetNrIterations(), 3u);

    // The count compares unsigned (-1 never ends the loop), the offset and the weights strictly.
    e.uiIteration = 1000000;
    for (const auto& [maxIterations, offset, weights, finished] :
         {std::tuple(-1, 1.0, 2.0, false), std::tuple(1000000, 1.0, 2.0, true), std::tuple(-1, 0.01, 2.0, false),
          std::tuple(-1, 0.00999, 2.0, true), std::tuple(-1, 1.0, 1.0, true), std::tuple(-1, 1.0, std::nan(""), true)})
    {
        config.SetMaxIterations(maxIterations), e.dOffset = offset, e.dSumOfPairWeights = weights;
        EXPECT_EQ(e.IsFinished(), finished) << maxIterations << " " << offset << " " << weights;
    }

    // The second half updates only with enough weight and overlap.
    e.Init();
    for (const auto& [weights, overlap, check, updates] :
         {std::tuple(1.0, true, true, 0), std::tuple(1.0, true, false, 1), std::tuple(5.0, false, true, 0),
          std::tuple(5.0, true, true, 1)})
    {
        e.dSumOfPairWeights = weights, e.bBoundingBoxesOverlap = overlap, e.buildMatrixCalls = 0,
        e.DoICPIteration2(check);
        EXPECT_EQ(e.buildMatrixCalls, updates) << weights << overlap << check;
    }
    EXPECT_EQ(e.uiIteration, 4u);
}

TEST_F(DriverTest, ResultRecordsOfSuccessfulAndTooSmallRegistrations)
{
    e.pairRmse = [](size_t) { return 0.125; };
    e.pairCentre = CbVector3d(1, 2, 3);
    e.CalculateICPTransform();
    auto r = e.GetResult();
    EXPECT_TRUE(r->GetState() == Result::Success && r->GetRMSE() == 0.125 && r->GetSumOfWeights() == 10.0 &&
                r->GetNrFoundPairs() == 7u && r->GetOverlapQuotient() == 0.9 && e.GetDOFDescriptionFlt() == nullptr);
    EXPECT_EQ(r->GetDegreeOfFreedomDescriptionFix().vCentre, CbVector3f(1, 2, 3));

    // Too few surfels: only the state is written; the next registration is judged afresh.
    e.pairTooFewSurfels = true;
    e.CalculateICPTransform();
    EXPECT_TRUE((r = e.GetResult())->GetState() == Result::SurfelCountTooLow && r->GetNrIterations() == 0u &&
                r->GetTransformation() == CbMatrix4Rd::Identity());
    e.pairTooFewSurfels = false;
    e.CalculateICPTransform();
    EXPECT_EQ((r = e.GetResult())->GetState(), Result::Success);

    // Init starts a new result but keeps the transformation, the error and the pair centre.
    e.mTransform = CbMatrix4Rd::Translation(1, 2, 3);
    e.Init();
    EXPECT_TRUE(e.GetResult() != r && e.GetTransform() == CbMatrix4Rd::Translation(1, 2, 3) && e.dRMSE == 0.125 &&
                e.vPairCentre == CbVector3d(1, 2, 3));
}

TEST(Driver, MissingConfigurationOrModelsThrowWithoutChangingTheEngineAndTheStartAndCentredTransformations)
{
    ScriptedEngine e;
    const auto result = e.GetResult();
    std::vector<std::function<void()>> calls = {[&] { e.CalculateICPTransform(); }, [&] { e.DoICPIteration(); },
                                                [&] { e.DoICPIteration1(); },       [&] { e.DoICPIteration2(false); },
                                                [&] { e.SetResultValues(); },       [&] { e.IsSuccesful(); }};
    calls.insert(calls.end(), {[&] { e.Init(); }, [&] { e.IsFinished(); }, [&] { e.GetConfiguration(); }});
    VelmTorCorrICPPointConfig config = PassingConfig();
    // First without configuration, then configured but without models (the last three need none).
    for (size_t count : {calls.size(), calls.size() - 3})
    {
        for (size_t i = 0; i < count; ++i)
            EXPECT_THROW(calls[i](), VelmException) << count << " " << i;
        e.SetConfiguration(config), e.modelsMissing = true;
    }
    EXPECT_TRUE(e.GetResult() == result && e.pairThresholds.empty());
    e.modelsMissing = false;
    EXPECT_THROW(e.IsSuccesful(), VelmException); // it needs the description SetResultValues computes
    EXPECT_EQ(MessageOf([] { ScriptedEngine().Init(); }),
              L"No configuration has been set: call SetConfiguration before DataLayer::VelmTorCorrICPPoint::Init.");

    // The start transformation, and the centred ones.
    CbMatrix4Rd a = CbMatrix4Rd::Translation(1, 2, 3), b = CbMatrix4Rd::Translation(5, 0, -1);
    a.e[0] = a.e[5] = 0, a.e[1] = 1, a.e[4] = -1; // a quarter turn about z, then the translation
    e.ComputeInitialTransform(a, b);              // a, then the inverse of b
    EXPECT_EQ(e.GetTransform().TransformPoint(CbVector3d(1, 0, 0)), CbVector3d(-4, 3, 4));
    EXPECT_EQ(e.mStartTransform, e.mTransform);
    b.e[5] = 0.0; // singular: refused, the transformation stays
    EXPECT_THROW(e.ComputeInitialTransform(a, b), XoExceptionNotInvertible);
    EXPECT_EQ(e.GetTransform().TransformPoint(CbVector3d(1, 0, 0)), CbVector3d(-4, 3, 4));

    // The centred transformations move the pair centre (1, 2, 3) to the origin and back.
    e.SetTransform(CbMatrix4Rd::Translation(10, 0, 0)), e.vPairCentre = CbVector3d(1, 2, 3);
    e.adjustCOGTransformsFromTransform();
    EXPECT_TRUE(e.mCOGTransform == CbMatrix4Rd::Translation(9, -2, -3) && e.mCenteredTransform == e.mCOGTransform);
    e.mCOGTransform = CbMatrix4Rd::Identity();
    e.adjustTransformFromCOGTransforms();
    EXPECT_TRUE(e.GetTransform() == CbMatrix4Rd::Translation(1, 2, 3) &&
                e.mCenteredTransform == CbMatrix4Rd::Identity());
}
