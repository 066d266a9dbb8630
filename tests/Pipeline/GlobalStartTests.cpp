// Registration without a start: the robust estimate under heavy outliers and the search for a start.
#include "RealScans.h"
#include "SyntheticScans.h"

#include "velm/Pipeline/GlobalStart.h"
#include "velm/Pipeline/RegisterPair.h"

#include <gtest/gtest.h>

TEST(GlobalStart, RobustEstimateFindsTheMotionAmongNinetyPercentOutliers)
{
    // 400 points in a 100 mm box with random normals, FLOAT the same moved by the inverse of truth. One
    // correspondence in ten is right (with noise); the others pair unrelated points.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> box(-50.0, 50.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const CbMatrix4Rd truth = SyntheticScans::Motion(CbVector3d(1, -2, 0.5), 130.0, CbVector3d(40, -25, 70));
    const CbMatrix4Rd back = truth.Inverted();
    std::vector<CbVector3f> fix, fixNormals, flt, fltNormals;
    for (int i = 0; i < 400; ++i)
    {
        fix.emplace_back(box(random), box(random), box(random));
        CbVector3d n(gauss(random), gauss(random), gauss(random));
        fixNormals.emplace_back(n * (1.0 / n.Length()));
        const CbVector3d jitter(0.2 * gauss(random), 0.2 * gauss(random), 0.2 * gauss(random));
        flt.emplace_back(back.TransformPoint(CbVector3d(fix.back() + CbVector3f(jitter))));
        fltNormals.emplace_back(Pipeline::RotateDirection(back, CbVector3d(fixNormals.back())));
    }
    std::vector<Pipeline::SCorrespondence> correspondences;
    std::uniform_int_distribution<uint32_t> any(0, 399);
    for (uint32_t i = 0; i < 400; ++i)
        correspondences.push_back({i, i % 10 == 0 ? i : any(random)});
    Pipeline::SRobustOptions options;
    options.dInlierDistance = 1.5, options.dMinEdge = 10.0, options.dDistinctShift = 10.0;

    const auto estimate = [&](const std::vector<Pipeline::SCorrespondence>& c) {
        return Pipeline::EstimateRigidHypotheses(fix, fixNormals, flt, fltNormals, c, options);
    };
    const auto hypotheses = estimate(correspondences);
    ASSERT_FALSE(hypotheses.empty());
    const Pipeline::SStartHypothesis& best = hypotheses.front();
    const auto [degrees, mm] = RealScans::Error(truth, best.mTransformation, CbVector3d());
    EXPECT_TRUE(degrees < 0.5 && mm < 0.5) << degrees << " deg, " << mm << " mm";
    // The 40 right ones, give or take the noise at the limit, and hardly a chance hit.
    EXPECT_TRUE(best.uiInliers >= 38u && best.uiInliers <= 45u) << best.uiInliers;
    for (size_t i = 1; i < hypotheses.size(); ++i)
        EXPECT_LE(hypotheses[i].uiInliers, hypotheses[i - 1].uiInliers);

    // The same input, the same answer; and inputs that cannot be right are refused.
    const auto again = estimate(correspondences);
    EXPECT_TRUE(again.size() == hypotheses.size() && again.front().mTransformation == best.mTransformation);
    EXPECT_TRUE(estimate({{0, 0}, {1, 1}}).empty());
    EXPECT_THROW(estimate({{400, 0}}), std::invalid_argument);
    EXPECT_THROW(Pipeline::EstimateRigidHypotheses(fix, {}, flt, fltNormals, correspondences, options),
                 std::invalid_argument);
    options.dInlierDistance = 0.0;
    EXPECT_THROW(estimate(correspondences), std::invalid_argument);
}

TEST(GlobalStart, SearchFindsAFarTurnedOverlapAndRejectsAnUnrelatedSurface)
{
    Pipeline::SScanOptions options;
    const SyntheticScans::SWindow a{-60.0, -40.0, 120, 110, 1.0, 0.03, 3}, b{-10.0, -20.0, 120, 110, 1.0, 0.03, 4};
    // FLOAT's scanner stands turned by 150 degrees and tilted against FIX's: far from any start.
    const CbMatrix4Rd toOwn = SyntheticScans::Motion(CbVector3d(0.3, 0.2, 1.0), 150.0, CbVector3d(30, -60, 20));
    const auto fix = Pipeline::PrepareScan(SyntheticScans::Scan(a), options, "fix");
    const auto flt = Pipeline::PrepareScan(SyntheticScans::Scan(b, toOwn), options, "float");
    Pipeline::SRegisterOptions search;
    search.eStart = Pipeline::EStartMethod::Global;
    const Pipeline::SPairResult found = Pipeline::RegisterPair(*fix, *flt, search);
    ASSERT_TRUE(found.bVerified) << found.strVerdict;
    const CbMatrix4Rd truth = toOwn.Inverted();
    const auto [degrees, mm] = RealScans::Error(truth, found.mTransformation, CbVector3d(30, -60, 20));
    EXPECT_TRUE(degrees < 0.1 && mm < 0.2) << degrees << " deg, " << mm << " mm";
    EXPECT_TRUE(found.start.uiRank >= 1 && found.start.uiRank <= found.start.uiHypotheses) << found.start.uiRank;
    EXPECT_GE(found.start.inliers.value_or(0), 3u);
    EXPECT_EQ(found.ToRecord()["start"]["method"].AsText(), "global");

    // The search is part of the result: run again, on three threads, the same transformation bit for bit.
    search.spThreads = std::make_shared<CThreadPool>(3);
    EXPECT_TRUE(Pipeline::RegisterPair(*fix, *flt, search).mTransformation == found.mTransformation);
    search.spThreads.reset();

    // A ball does not belong to the sheet anywhere: whatever start is proposed, nothing is verified.
    IO::SPointCloud ball;
    for (int i = 0; i < 90; ++i)
        for (int j = 0; j < 180; ++j)
        {
            const double theta = (i + 0.5) * SyntheticScans::kPi / 180.0, phi = j * SyntheticScans::kPi / 90.0;
            const CbVector3d n(std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta));
            ball.vecPositions.emplace_back(n * 40.0);
            ball.vecNormals.emplace_back(n);
        }
    const auto unrelated = Pipeline::PrepareScan(ball, options, "ball");
    const Pipeline::SPairResult none = Pipeline::RegisterPair(*fix, *unrelated, search);
    EXPECT_FALSE(none.bVerified);
    EXPECT_EQ(none.strVerdict.rfind("no start the search proposed was verified", 0), 0u) << none.strVerdict;
    EXPECT_EQ(none.start.uiRank, 1u);
}
