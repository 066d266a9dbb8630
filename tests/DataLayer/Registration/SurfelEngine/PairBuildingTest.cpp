#include "SurfelEngineSupport.h"

#include "velm/Frame/CbException.h"

#include <gtest/gtest.h>

#include <cfloat>

using namespace SurfelEngineTest;

namespace
{
// Pair building reads only these fields; the radius query is used unless a test lowers
// fQueryRadiusThreshold below the threshold.
VelmTorCorrICPPointConfig PairConfig(unsigned int numberOfPairs)
{
    VelmTorCorrICPPointConfig c;
    c.SetBoundingBoxBlowup(0.5f);
    c.SetNumberOfPairs(numberOfPairs);
    c.SetQueryRadiusThreshold(100.0f);
    c.SetMinimumNumberSurfelsFix(0);
    c.SetMinimumNumberSurfelsFloat(0);
    return c;
}

// P0 at the origin, P1 at distance 1, P2 at distance exactly 2 (the radius used below), P3 far off.
std::vector<CbVector3f> Cluster()
{
    return {{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 2.0f, 0.0f}, {20.0f, 0.0f, 0.0f}};
}

// Kernel of P1 at radius 2: t = 1 - 1/4, t^4.
constexpr double c_KernelP1 = 0.31640625;

struct Rig
{
    std::unique_ptr<Base::CSurfelCollection> fix;
    std::unique_ptr<Base::CSurfelCollection> flt;
    VelmTorCorrICPPointConfig config;
    ProbeEngine engine;

    Rig(Base::SSurfelData fixData, Base::SSurfelData floatData, unsigned int numberOfPairs, double threshold)
        : fix(Collection(std::move(fixData))), flt(Collection(std::move(floatData))), config(PairConfig(numberOfPairs))
    {
        engine.SetConfiguration(config);
        engine.SetModelFix(*fix, nullptr);
        engine.SetModelFloat(*flt, nullptr);
        engine.SetDistanceThreshold(threshold);
    }
};
} // namespace

TEST(SurfelEnginePairs, NeighbourhoodKernelWeighsByDistanceAndStopsAtTheRadius)
{
    Rig rig(PlacedSurfels(Cluster()), PlacedSurfels(Cluster()), 1, 2.0);
    rig.engine.BuildPairs();

    // The sample itself has kernel 1, P1 the kernel of distance 1, P2 at the radius contributes 0.
    const double floatWeight = 1.0 + c_KernelP1;
    ASSERT_EQ(rig.engine.vecPairs.size(), 1u);
    const SurfelPair& pair = rig.engine.vecPairs[0];
    EXPECT_EQ(pair.uiIndexFloat, 0u);
    EXPECT_EQ(pair.dWeight, floatWeight * floatWeight);
    EXPECT_NEAR(pair.vCentroidFloat.x, c_KernelP1 / floatWeight, 1e-15);
    EXPECT_EQ(pair.vCentroidFloat.y, 0.0);
    EXPECT_EQ(pair.vCentroidFloat.z, 0.0);
    EXPECT_NEAR(pair.vCentroidFix.x, c_KernelP1 / floatWeight, 1e-15);

    const CbVector3d n = DecodedNormal(CbVector3f(0.0f, 0.0f, 1.0f));
    const CbVector3d unit = n * (1.0 / n.Length());
    EXPECT_NEAR(pair.vNormalFix.x, unit.x, 1e-15);
    EXPECT_NEAR(pair.vNormalFix.y, unit.y, 1e-15);
    EXPECT_NEAR(pair.vNormalFix.z, unit.z, 1e-15);
    EXPECT_NEAR(pair.vNormalFix.Length(), 1.0, 1e-15);

    EXPECT_EQ(rig.engine.dSumOfPairWeights, pair.dWeight);
    EXPECT_EQ(rig.engine.dOverallSumOfPairWeights, pair.dWeight);
    EXPECT_EQ(rig.engine.dCentreWeightSum, pair.dWeight);
    EXPECT_NEAR(rig.engine.vPairCentre.x, pair.vCentroidFix.x, 1e-15);
    EXPECT_EQ(rig.engine.uiNrFoundPairs, 1u);
    EXPECT_EQ(rig.engine.uiNrDepthImagePairs, 1u);
    // The identity maps the centroid onto itself up to its rounding to single precision.
    EXPECT_LT(rig.engine.dRMSE, 1e-7);
}

TEST(SurfelEnginePairs, QualityOutranksWeightAndNeighboursWithoutNormalAreSkipped)
{
    const uint8_t fifth = 51; // 51 / 255 = 0.2 in single precision
    {
        Base::SSurfelData data = PlacedSurfels(Cluster());
        data.vecQuality = {255, fifth, 255, 255};
        data.vecWeight = {7.0f, 7.0f, 7.0f, 7.0f};
        Rig rig(data, data, 1, 2.0);
        rig.engine.BuildPairs();
        const double side = 1.0 + static_cast<double>(51.0f / 255.0f) * c_KernelP1;
        ASSERT_EQ(rig.engine.vecPairs.size(), 1u);
        EXPECT_EQ(rig.engine.vecPairs[0].dWeight, side * side);
    }
    {
        // Without quality the weight element scales each neighbour.
        Base::SSurfelData data = PlacedSurfels(Cluster());
        data.vecWeight = {2.0f, 0.5f, 1.0f, 1.0f};
        Rig rig(data, data, 1, 2.0);
        rig.engine.BuildPairs();
        const double side = 2.0 + 0.5 * c_KernelP1;
        ASSERT_EQ(rig.engine.vecPairs.size(), 1u);
        EXPECT_EQ(rig.engine.vecPairs[0].dWeight, side * side);
        EXPECT_NEAR(rig.engine.vecPairs[0].vCentroidFloat.x, 0.5 * c_KernelP1 / side, 1e-15);
    }
    {
        // A quality of 0 silences a neighbour; on the fixed side only, so the sides differ.
        Base::SSurfelData fixData = PlacedSurfels(Cluster());
        fixData.vecQuality = {255, 0, 255, 255};
        Rig rig(fixData, PlacedSurfels(Cluster()), 1, 2.0);
        rig.engine.BuildPairs();
        ASSERT_EQ(rig.engine.vecPairs.size(), 1u);
        EXPECT_EQ(rig.engine.vecPairs[0].dWeight, 1.0 + c_KernelP1);
        EXPECT_EQ(rig.engine.vecPairs[0].vCentroidFix.x, 0.0);
    }
    {
        // 8128 encodes "no normal": that neighbour adds neither position nor normal.
        Base::SSurfelData data = PlacedSurfels(Cluster());
        const uint16_t up = DataLayer::QuantizeNormal(CbVector3f(0.0f, 0.0f, 1.0f));
        data.vecNormals.clear();
        data.vecNormalCodes = {up, 8128, up, up};
        Rig rig(data, data, 1, 2.0);
        rig.engine.BuildPairs();
        ASSERT_EQ(rig.engine.vecPairs.size(), 1u);
        EXPECT_EQ(rig.engine.vecPairs[0].dWeight, 1.0);
        EXPECT_EQ(rig.engine.vecPairs[0].vCentroidFloat.x, 0.0);
    }
}

TEST(SurfelEnginePairs, WideThresholdUsesTheSixNearestNeighboursOnly)
{
    // The sample at the origin and seven neighbours at distinct distances, all inside radius 2.
    std::vector<CbVector3f> positions{{0.0f, 0.0f, 0.0f}};
    const double distances[] = {0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.1};
    for (int k = 0; k < 7; ++k)
    {
        const double angle = 0.9 * k;
        positions.push_back(CbVector3f(static_cast<float>(distances[k] * std::cos(angle)),
                                       static_cast<float>(distances[k] * std::sin(angle)), 0.0f));
    }
    auto sideWeight = [&](size_t neighbours, double radius) {
        double sum = 1.0;
        for (size_t k = 1; k <= neighbours; ++k)
        {
            const CbVector3d p(positions[k]);
            sum += Kernel(p.x * p.x + p.y * p.y, radius);
        }
        return sum;
    };

    {
        Rig rig(PlacedSurfels(positions), PlacedSurfels(positions), 1, 2.0);
        rig.engine.BuildPairs();
        const double all = sideWeight(7, 2.0);
        ASSERT_EQ(rig.engine.vecPairs.size(), 1u);
        EXPECT_NEAR(rig.engine.vecPairs[0].dWeight, all * all, 1e-12);
    }
    {
        // Above fQueryRadiusThreshold only the sample and its five nearest neighbours count.
        Rig rig(PlacedSurfels(positions), PlacedSurfels(positions), 1, 2.0);
        rig.config.SetQueryRadiusThreshold(1.0f);
        rig.engine.BuildPairs();
        const double six = sideWeight(5, 2.0);
        ASSERT_EQ(rig.engine.vecPairs.size(), 1u);
        EXPECT_NEAR(rig.engine.vecPairs[0].dWeight, six * six, 1e-12);
        EXPECT_EQ(rig.engine.vecNearestResult.size(), 6u);
    }
    {
        // The kernel still cuts at the radius: of the six nearest, those at 0.8 and 0.9 lie beyond 0.75.
        Rig rig(PlacedSurfels(positions), PlacedSurfels(positions), 1, 0.75);
        rig.config.SetQueryRadiusThreshold(0.5f);
        rig.engine.BuildPairs();
        const double three = sideWeight(3, 0.75);
        ASSERT_EQ(rig.engine.vecPairs.size(), 1u);
        EXPECT_NEAR(rig.engine.vecPairs[0].dWeight, three * three, 1e-12);
    }
    {
        // A masked neighbour among the six nearest is dropped, not replaced by the seventh.
        Rig rig(PlacedSurfels(positions), PlacedSurfels(positions), 1, 2.0);
        rig.config.SetQueryRadiusThreshold(1.0f);
        Base::CSurfelCollectionMask mask(8);
        mask[1] = 1; // the neighbour at 0.5
        rig.engine.SetModelFix(*rig.fix, &mask);
        rig.engine.BuildPairs();
        const CbVector3d nearest(positions[1]);
        const double fixSide = sideWeight(5, 2.0) - Kernel(nearest.x * nearest.x + nearest.y * nearest.y, 2.0);
        ASSERT_EQ(rig.engine.vecPairs.size(), 1u);
        EXPECT_NEAR(rig.engine.vecPairs[0].dWeight, fixSide * sideWeight(5, 2.0), 1e-12);
        EXPECT_EQ(rig.engine.vecNeighbourIndices.size(), 5u);
    }
}

TEST(SurfelEnginePairs, SampleLimitMasksAndEmptyNeighbourhoods)
{
    // A 5 x 4 grid sampled in a scrambled order.
    std::vector<CbVector3f> grid;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            grid.push_back(CbVector3f(static_cast<float>(x), static_cast<float>(y), 0.0f));
    Base::SSurfelData data = PlacedSurfels(grid);
    for (uint32_t k = 0; k < 20; ++k)
        data.vecSampleOrder[k] = (7 * k + 3) % 20;
    const std::vector<uint32_t> order = data.vecSampleOrder;

    {
        // Masked samples are passed over without using up the limit of 10.
        Rig rig(data, data, 10, 1.5);
        Base::CSurfelCollectionMask mask(20);
        for (int k = 0; k < 5; ++k)
            mask[order[k]] = 1;
        rig.engine.SetModelFloat(*rig.flt, &mask);
        rig.engine.BuildPairs();
        ASSERT_EQ(rig.engine.vecPairs.size(), 10u);
        for (size_t k = 0; k < 10; ++k)
            EXPECT_EQ(rig.engine.vecPairs[k].uiIndexFloat, order[k + 5]) << k;
    }
    {
        // Masked surfels also leave both neighbourhoods: only the sample itself remains on each side.
        Rig rig(PlacedSurfels(Cluster()), PlacedSurfels(Cluster()), 1, 2.0);
        Base::CSurfelCollectionMask mask(4);
        mask[1] = 0x8000;
        rig.engine.SetModelFloat(*rig.flt, &mask);
        rig.engine.SetModelFix(*rig.fix, &mask);
        rig.engine.BuildPairs();
        ASSERT_EQ(rig.engine.vecPairs.size(), 1u);
        EXPECT_EQ(rig.engine.vecPairs[0].dWeight, 1.0);
        EXPECT_EQ(rig.engine.vecPairs[0].vCentroidFix.x, 0.0);
    }
    {
        // A sample whose own neighbourhood weighs nothing uses up the limit without a pair.
        Base::SSurfelData lonely = PlacedSurfels({{0, 0, 0}, {10, 0, 0}, {11, 0, 0}, {10, 1, 0}});
        const uint16_t up = DataLayer::QuantizeNormal(CbVector3f(0.0f, 0.0f, 1.0f));
        lonely.vecNormals.clear();
        lonely.vecNormalCodes = {8128, up, up, up};
        Rig two(lonely, lonely, 2, 2.0);
        two.engine.BuildPairs();
        ASSERT_EQ(two.engine.vecPairs.size(), 1u);
        EXPECT_EQ(two.engine.vecPairs[0].uiIndexFloat, 1u);

        Rig three(lonely, lonely, 3, 2.0);
        three.engine.BuildPairs();
        EXPECT_EQ(three.engine.vecPairs.size(), 2u);
    }
}

TEST(SurfelEnginePairs, CurrentTransformationMapsSamplesIntoTheFixedModel)
{
    std::vector<CbVector3f> shifted;
    for (const CbVector3f& p : Cluster())
        shifted.push_back(CbVector3f(p.x - 5.0f, p.y, p.z + 2.0f));
    Rig rig(PlacedSurfels(Cluster()), PlacedSurfels(shifted), 4, 2.0);
    rig.engine.SetTransform(CbMatrix4Rd::Translation(5.0, 0.0, -2.0));
    rig.engine.BuildPairs();

    // Every sample finds its counterpart; the far surfel P3 has only itself on either side.
    ASSERT_EQ(rig.engine.vecPairs.size(), 4u);
    for (const SurfelPair& pair : rig.engine.vecPairs)
    {
        EXPECT_NEAR(pair.vCentroidFix.x, pair.vCentroidFloat.x + 5.0, 1e-12);
        EXPECT_NEAR(pair.vCentroidFix.y, pair.vCentroidFloat.y, 1e-12);
        EXPECT_NEAR(pair.vCentroidFix.z, pair.vCentroidFloat.z - 2.0, 1e-12);
    }
    EXPECT_EQ(rig.engine.vecPairs[3].dWeight, 1.0);
    // The pair centre is the weight-averaged fixed centroid.
    double sumW = 0.0, sumX = 0.0, sumY = 0.0;
    for (const SurfelPair& pair : rig.engine.vecPairs)
    {
        sumW += pair.dWeight;
        sumX += pair.dWeight * pair.vCentroidFix.x;
        sumY += pair.dWeight * pair.vCentroidFix.y;
    }
    EXPECT_NEAR(rig.engine.vPairCentre.x, sumX / sumW, 1e-12);
    EXPECT_NEAR(rig.engine.vPairCentre.y, sumY / sumW, 1e-12);
    EXPECT_NEAR(rig.engine.dCentreWeightSum, sumW, 1e-12);
}

TEST(SurfelEnginePairs, SurfelCountsLimitAndEmptyRuns)
{
    {
        // Two floating surfels are too few even when no minimum is configured.
        Rig rig(PlacedSurfels(Cluster()), PlacedSurfels({{0, 0, 0}, {1, 0, 0}}), 10, 2.0);
        rig.engine.uiNrFoundPairs = 77;
        rig.engine.dRMSE = 5.0;
        rig.engine.BuildPairs();
        EXPECT_TRUE(rig.engine.bSurfelCountTooLow);
        EXPECT_TRUE(rig.engine.vecPairs.empty());
        EXPECT_EQ(rig.engine.uiNrFoundPairs, 77u);
        EXPECT_EQ(rig.engine.dRMSE, 5.0);
        EXPECT_EQ(rig.engine.uiNrDepthImagePairs, 0u);
    }
    {
        // Three are enough; a configured minimum above the count is not.
        Rig rig(PlacedSurfels({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}), PlacedSurfels(Cluster()), 10, 2.0);
        rig.engine.BuildPairs();
        EXPECT_FALSE(rig.engine.bSurfelCountTooLow);
        EXPECT_FALSE(rig.engine.vecPairs.empty());
        rig.config.SetMinimumNumberSurfelsFix(4);
        rig.engine.BuildPairs();
        EXPECT_TRUE(rig.engine.bSurfelCountTooLow);
        EXPECT_TRUE(rig.engine.vecPairs.empty());
    }
    {
        // A limit of 0 takes no sample: no pair, no centre, and the RMSE of no pairs.
        Rig rig(PlacedSurfels(Cluster()), PlacedSurfels(Cluster()), 0, 2.0);
        rig.engine.BuildPairs();
        EXPECT_TRUE(rig.engine.vecPairs.empty());
        EXPECT_EQ(rig.engine.uiNrFoundPairs, 0u);
        EXPECT_EQ(rig.engine.vPairCentre, CbVector3d(0.0, 0.0, 0.0));
        EXPECT_EQ(rig.engine.dRMSE, DBL_MAX);
        EXPECT_EQ(rig.engine.uiNrDepthImagePairs, 1u);
    }
    {
        // Disjoint bounding boxes: no pairs, and the overlap flag drops.
        Rig rig(PlacedSurfels(Cluster()), PlacedSurfels(Cluster()), 4, 2.0);
        rig.engine.BuildPairs();
        ASSERT_FALSE(rig.engine.vecPairs.empty());
        rig.engine.SetTransform(CbMatrix4Rd::Translation(0.0, 0.0, 50.0));
        rig.engine.BuildPairs();
        EXPECT_TRUE(rig.engine.vecPairs.empty());
        EXPECT_FALSE(rig.engine.bBoundingBoxesOverlap);
        EXPECT_EQ(rig.engine.uiNrDepthImagePairs, 0u);
        EXPECT_EQ(rig.engine.dSumOfPairWeights, 0.0);
    }
}

TEST(SurfelEnginePairs, SingularTransformationThrowsAfterEmptyingThePairs)
{
    Rig rig(PlacedSurfels(Cluster()), PlacedSurfels(Cluster()), 4, 2.0);
    rig.engine.BuildPairs();
    ASSERT_FALSE(rig.engine.vecPairs.empty());

    CbMatrix4Rd flat; // projects onto the plane x = 0
    flat.e[0] = 0.0;
    rig.engine.SetTransform(flat);
    EXPECT_THROW(rig.engine.BuildPairs(), XoExceptionNotInvertible);
    EXPECT_TRUE(rig.engine.vecPairs.empty());
    EXPECT_EQ(rig.engine.dSumOfPairWeights, 0.0);
    EXPECT_EQ(rig.engine.dOverallSumOfPairWeights, 0.0);
    EXPECT_EQ(rig.engine.vPairCentre, CbVector3d(0.0, 0.0, 0.0));
}

TEST(SurfelEnginePairs, RepeatedPairBuildingReusesItsBuffers)
{
    std::vector<CbVector3f> grid;
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            grid.push_back(CbVector3f(static_cast<float>(x), static_cast<float>(y), 0.0f));
    Rig rig(PlacedSurfels(grid), PlacedSurfels(grid), 100, 2.5);
    rig.engine.BuildPairs();
    rig.config.SetQueryRadiusThreshold(1.0f); // the k-nearest path fills the other buffer
    rig.engine.BuildPairs();
    rig.config.SetQueryRadiusThreshold(100.0f);
    rig.engine.BuildPairs();

    const SurfelPair* pairs = rig.engine.vecPairs.data();
    const uint32_t* indices = rig.engine.vecNeighbourIndices.data();
    const Base::SKdTreeNeighbour* nearest = rig.engine.vecNearestResult.data();
    const std::vector<SurfelPair> first = rig.engine.vecPairs;
    for (int run = 0; run < 3; ++run)
    {
        rig.config.SetQueryRadiusThreshold(run == 1 ? 1.0f : 100.0f);
        rig.engine.BuildPairs();
        EXPECT_EQ(rig.engine.vecPairs.data(), pairs);
        EXPECT_EQ(rig.engine.vecNeighbourIndices.data(), indices);
        EXPECT_EQ(rig.engine.vecNearestResult.data(), nearest);
    }
    // The same query gives the same pairs.
    ASSERT_EQ(rig.engine.vecPairs.size(), first.size());
    for (size_t k = 0; k < first.size(); ++k)
    {
        EXPECT_EQ(rig.engine.vecPairs[k].uiIndexFloat, first[k].uiIndexFloat);
        EXPECT_EQ(rig.engine.vecPairs[k].dWeight, first[k].dWeight);
    }
}
