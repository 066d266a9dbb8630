#include "SurfelEngineSupport.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

using namespace SurfelEngineTest;

namespace
{
SurfelPair Pair(const CbVector3d& floatCentroid, const CbVector3d& fixCentroid, const CbVector3d& normal, double w)
{
    SurfelPair pair;
    pair.vCentroidFloat = floatCentroid;
    pair.vCentroidFix = fixCentroid;
    pair.vNormalFix = normal;
    pair.dWeight = w;
    return pair;
}
} // namespace

TEST(SurfelEngineMeasures, RmseIsTheWeightedPointToPlaneDistance)
{
    ProbeEngine engine;
    EXPECT_EQ(engine.GetRMSE(CbMatrix4Rd()), DBL_MAX); // no pairs

    const CbVector3d up(0.0, 0.0, 1.0);
    engine.vecPairs.push_back(Pair({1, 2, 3}, {1, 2, 3.5}, up, 1.0));   // 0.5 off the plane
    engine.vecPairs.push_back(Pair({4, 0, 1}, {4, 0, 0.75}, up, 3.0));  // 0.25 off the plane
    EXPECT_EQ(engine.GetRMSE(CbMatrix4Rd()), std::sqrt((0.25 + 3.0 * 0.0625) / 4.0));

    // Sliding within the tangent plane changes nothing; moving along the normal does.
    EXPECT_EQ(engine.GetRMSE(CbMatrix4Rd::Translation(7.0, -3.0, 0.0)), std::sqrt((0.25 + 3.0 * 0.0625) / 4.0));
    EXPECT_EQ(engine.GetRMSE(CbMatrix4Rd::Translation(0.0, 0.0, 0.5)), std::sqrt(3.0 * 0.5625 / 4.0));

    // The mapped point is rounded to single precision before the distance is taken.
    engine.vecPairs.clear();
    engine.vecPairs.push_back(Pair({0.1, 0, 0}, {0.1, 0, 0}, {1, 0, 0}, 1.0));
    EXPECT_EQ(engine.GetRMSE(CbMatrix4Rd()), std::fabs(0.1 - static_cast<double>(0.1f)));

    // Pairs of no weight give the largest finite double rather than 0/0.
    engine.vecPairs[0].dWeight = 0.0;
    EXPECT_EQ(engine.GetRMSE(CbMatrix4Rd()), DBL_MAX);
}

TEST(SurfelEngineMeasures, OffsetIsTheMeanMovementOfTheEllipsoidPoints)
{
    ProbeEngine engine;
    engine.ceFloat.Set(CbVector3d(0, 0, 0), CbVector3d(2, 0, 0), CbVector3d(0, 1, 0), CbVector3d(0, 0, 4), 1.0f);
    EXPECT_EQ(engine.GetOffset(CbMatrix4Rd()), 0.0);
    EXPECT_EQ(engine.GetOffset(CbMatrix4Rd::Translation(3.0, 4.0, 0.0)), 5.0);

    // A half turn about z moves (+-2, 0, 0) by 4, (0, +-1, 0) by 2 and the z axis points not at all.
    CbMatrix4Rd halfTurn;
    halfTurn.e[0] = -1.0;
    halfTurn.e[5] = -1.0;
    EXPECT_EQ(engine.GetOffset(halfTurn), (4.0 + 4.0 + 2.0 + 2.0) / 6.0);
}

TEST(SurfelEngineMeasures, OverlapRepresentationDescribesTheFloatingCentroids)
{
    ProbeEngine engine;
    engine.ComputeOverlapRepresentation();
    EXPECT_FALSE(engine.bbOverlap.box.IsValid());
    EXPECT_EQ(engine.GetResult()->GetSamplePoints().GetSigmaScale(), -1.0f);

    // Fixed centroids far away: only the floating ones, as stored, count.
    const CbVector3d far(100, 100, 100);
    const CbVector3d up(0, 0, 1);
    engine.vecPairs.push_back(Pair({0, 0, 0}, far, up, 1.0));
    engine.vecPairs.push_back(Pair({4, 0, 0}, far, up, 3.0));
    engine.vecPairs.push_back(Pair({0, 2, 1}, far, up, 1.0));
    engine.vecPairs.push_back(Pair({4, 2, 1}, far, up, 3.0));
    engine.ComputeOverlapRepresentation();
    EXPECT_EQ(engine.bbOverlap.box.vMin, CbVector3f(0, 0, 0));
    EXPECT_EQ(engine.bbOverlap.box.vMax, CbVector3f(4, 2, 1));

    // The ellipsoid is weighted by the pair weights: the centre leans towards x = 4.
    const Base::CCovarianceEllipsoid& points = engine.GetResult()->GetSamplePoints();
    EXPECT_NEAR(points.GetCentre().x, 3.0, 1e-12);
    EXPECT_NEAR(points.GetCentre().y, 1.0, 1e-12);
    EXPECT_NEAR(points.GetCentre().z, 0.5, 1e-12);
    EXPECT_EQ(points.GetSigmaScale(), 1.0f);
    // Largest spread along x: weighted variance 3 (x = 0 or 4 about 3 with weights 1 : 3).
    EXPECT_NEAR((points.GetAxisEnd(0) - points.GetCentre()).Length(), std::sqrt(3.0), 1e-9);
}

TEST(SurfelEngineMeasures, QuotientsComeFromAFreshOverlapTest)
{
    // A 20 x 20 grid registered with itself: every tested sample overlaps and matches.
    std::vector<CbVector3f> grid;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
            grid.push_back(CbVector3f(static_cast<float>(x), static_cast<float>(y), 0.0f));
    auto model = Collection(PlacedSurfels(grid));
    VelmTorCorrICPPointConfig config = SyntheticScanConfig();
    config.SetNrTestSamples(100);

    ProbeEngine engine;
    engine.SetConfiguration(config);
    engine.SetModelFix(*model, nullptr);
    engine.SetModelFloat(*model, nullptr);
    engine.ComputePairWeightsQuotient();
    EXPECT_EQ(engine.dSumTestWeights, 100.0);
    EXPECT_EQ(engine.dOverlapQuotient, 1.0);
    EXPECT_EQ(engine.dPairWeightsQuotient, 1.0);

    // Shifted by 10 along x and every surfel tested: columns mapped to x <= 20 have a partner within
    // fTestRange 1.5; the column at x = 21 only lies within fOverlapRange 3 of one, so it overlaps
    // without matching; the column at x = 22 is exactly 3 away and does not overlap.
    engine.SetTransform(CbMatrix4Rd::Translation(10.0, 0.0, 0.0));
    config.SetNrTestSamples(400);
    engine.ComputePairWeightsQuotient();
    EXPECT_EQ(engine.dSumTestWeights, 400.0);
    EXPECT_EQ(engine.dSumOverlapWeights, 240.0);
    EXPECT_EQ(engine.dSumMatchedWeights, 220.0);
    EXPECT_EQ(engine.dOverlapQuotient, 0.6);
    EXPECT_EQ(engine.dPairWeightsQuotient, 220.0 / 240.0);

    // Disjoint: nothing is tested and both quotients are 0/0.
    engine.SetTransform(CbMatrix4Rd::Translation(0.0, 0.0, 30.0));
    engine.ComputePairWeightsQuotient();
    EXPECT_EQ(engine.dSumTestWeights, 0.0);
    EXPECT_TRUE(std::isnan(engine.dOverlapQuotient));
    EXPECT_TRUE(std::isnan(engine.dPairWeightsQuotient));
}
