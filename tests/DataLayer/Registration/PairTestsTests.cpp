#include "DataLayer/EngineRigs.h"

using namespace EngineTest;

namespace
{
CQuantizedNormal Code(float x, float y, float z)
{
    return CQuantizedNormal(QuantizeNormal(CbVector3f(x, y, z)));
}

struct PairTest : EngineFixture
{
    const CbVector3f up{0, 0, 1};
    PairTest()
    {
        config.SetBoundingBoxBlowup(0.5f), config.SetTestRange(0.1f), config.SetOverlapRange(1.0f);
        config.SetCosNormalThreshold(0.9), config.SetCurvatureThreshold(0.01), config.SetNrTestSamples(10);
        e.SetDistanceThreshold(1.0);
    }
    // A: four samples along x with qualities 1, 0.2, 0.4, 1. Their partners in B: the first close with
    // a similar normal, the second close with a perpendicular one, the third only within the overlap
    // range, the fourth none.
    std::unique_ptr<CSurfelCollection> A =
        Collection(PlacedSurfels({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}}, {}, {255, 51, 102, 255}, {10, 0, 0, 0}));
    std::unique_ptr<CSurfelCollection> B =
        Collection(PlacedSurfels({{0, 0, 0.05f}, {1, 0, 0.05f}, {2, 0, 0.6f}}, {up, {1, 0, 0}, up}, {}, {12, 0, 0}));
};
} // namespace

TEST_F(PairTest, DistanceWeightsValidPairsAndTheNormalCurvatureAndWeightTests)
{
    const CQuantizedNormal n = Code(0, 0, 1);
    // Exactly at the threshold counts; the moved point is rounded to float.
    EXPECT_TRUE(e.GetDistanceWeight({0, 0, 0}, {1, 0, 0}, n) == 1.0 &&
                e.GetDistanceWeight({0, 0, 0}, {0, 1.0001f, 0}, n) == 0.0 &&
                e.GetDistanceWeight({1.00000001, 0, 0}, {0, 0, 0}, n) == 1.0);
    config.SetSmoothDistanceThresholding(true), config.SetSamplingDensity(0.1f);
    EXPECT_EQ(e.GetDistanceWeight({0, 0, 0}, {0.05f, 0, 0}, n), 1.0);
    EXPECT_NEAR(e.GetDistanceWeight({0, 0, 0}, {1, 0, 0}, n), std::pow(0.1, 4) * 4.6, 1e-7);

    // A zero pair weight or a boundary flag refuses the pair without writing the distance weight.
    double out = -1.0;
    for (const auto& [movedOnBoundary, partnerOnBoundary, weight] :
         {std::tuple(false, false, 0.0), std::tuple(true, false, 1.0), std::tuple(false, true, 1.0)})
        EXPECT_FALSE(e.IsAValidPair({0, 0, 0}, movedOnBoundary, {0.6f, 0, 0}, n, partnerOnBoundary, weight, out));
    EXPECT_EQ(out, -1.0);
    EXPECT_TRUE(e.IsAValidPair({0, 0, 0}, false, {0.6f, 0, 0}, n, false, 1.0, out));
    EXPECT_NEAR(out, 0.1875, 1e-6); // (1 - 0.5)^4 (4 0.5 + 1)
    EXPECT_TRUE(!e.IsAValidPair({0, 0, 0}, false, {2, 0, 0}, n, false, 1.0, out) && out == 0.0);

    const CQuantizedNormal a = n, b = Code(0.3f, 0, 1);
    auto& lut = TQuantizedNormalMultiLevelLUT<CbVector3f>::lut;
    lut.Create();
    const CbVector3f na = lut[a.uiCode], nb = lut[b.uiCode];
    const float dot = (na.y * nb.y + na.x * nb.x) + na.z * nb.z;
    config.SetCosNormalThreshold(dot);
    EXPECT_FALSE(e.AreNormalsSimilar(a, b)); // equal is not greater
    config.SetCosNormalThreshold(std::nextafter(static_cast<double>(dot), 0.0));
    EXPECT_TRUE(e.AreNormalsSimilar(a, b) && !e.AreNormalsSimilar(a, Code(0, 0, -1)));

    EXPECT_TRUE(!e.IsSimilarCurvature(10, 12) && e.IsSimilarCurvature(10, 11)); // tolerance trunc(2.55) = 2
    config.SetCurvatureThreshold(1.0);
    EXPECT_TRUE(!e.IsSimilarCurvature(0, 255) && e.IsSimilarCurvature(255, 1));

    EXPECT_TRUE(e.IsOnBoundary(false, true) && !e.IsOnBoundary(false, false));
    EXPECT_EQ(e.GetSquaredError({1, 1, 1}, {4, -2, 3}, {0, 0, 1}), 4.0);     // tangential offset ignored
    EXPECT_FALSE((e.dSumOfPairWeights = 1.0, e.HasSufficientPairWeights())); // not strictly above the minimum
}

TEST_F(PairTest, AccumulatedQuotientSumsAndBoundingBoxOverlap)
{
    const double q02 = 51.0f / 255.0f, q04 = 102.0f / 255.0f;
    auto sums = [&](const CSurfelCollectionMask* maskA, const CSurfelCollectionMask* maskB,
                    const CbMatrix4Rd& T = CbMatrix4Rd::Identity()) {
        e.dSumTestWeights = e.dSumOverlapWeights = e.dSumMatchedWeights = 0.0;
        e.AccumulatePairWeights(*A, maskA, *B, maskB, T);
        return std::vector<double>{e.dSumTestWeights, e.dSumOverlapWeights, e.dSumMatchedWeights};
    };
    // Curvatures 10 and 12 differ by the tolerance of 2: the only normal match is refused.
    EXPECT_EQ(sums(nullptr, nullptr), (std::vector<double>{1.0 + q02 + q04 + 1.0, 1.0 + q02 + q04, 0.0}));

    // A masked sample does not use up the limit (unsigned: -1 is none); a masked partner is not found.
    CSurfelCollectionMask maskA(4), maskB(3), shortMask(2);
    maskA[0] = 1, maskB[0] = 4, config.SetNrTestSamples(2);
    EXPECT_EQ(sums(&maskA, nullptr), (std::vector<double>{q02 + q04, q02 + q04, 0.0}));
    config.SetNrTestSamples(-1);
    EXPECT_EQ(sums(nullptr, &maskB), (std::vector<double>{1.0 + q02 + q04 + 1.0, q02 + q04, 0.0}));
    // A mask shorter than its collection is refused before anything is added.
    EXPECT_THROW(sums(&shortMask, nullptr), VelmException);
    EXPECT_EQ(e.dSumTestWeights, 0.0);

    // Normals turn with T but do not move with it: T turns (0, 0, 1) into (0, 1, 0) and shifts along x.
    CbMatrix4Rd T = CbMatrix4Rd::Translation(5, 0, 0);
    T.e[5] = T.e[10] = 0, T.e[9] = 1, T.e[6] = -1;
    A = Collection(PlacedSurfels({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}));
    B = Collection(PlacedSurfels({{5, 0, 0.05f}, {6, 0, 0}, {5, 0, -1}}, {{0, 1, 0}, {0, 1, 0}, {0, 1, 0}}));
    EXPECT_EQ(sums(nullptr, nullptr, T), (std::vector<double>{3.0, 3.0, 3.0}));
    // A collection without normals throws before anything is added.
    SSurfelData noNormals;
    noNormals.vecPositions = {{5, 0, 0.05f}, {6, 0, 0}, {5, 0, -1}};
    B = std::make_unique<CSurfelCollection>(std::move(noNormals));
    EXPECT_THROW(e.AccumulatePairWeights(*A, nullptr, *B, nullptr, T), VelmException);
    EXPECT_EQ(e.dSumTestWeights, 3.0);

    // Bounding boxes: `shift` maps the unit box into the one apart.
    const auto unit = Collection(PlacedSurfels({{0, 0, 0}, {1, 1, 1}})),
               apart = Collection(PlacedSurfels({{3, 0, 0}, {4, 1, 1}}));
    const CbMatrix4Rd I = CbMatrix4Rd::Identity(), shift = CbMatrix4Rd::Translation(2.5, 0, 0);
    config.SetBoundingBoxBlowup(0.0f);
    EXPECT_TRUE(!e.CheckForBoundingBoxOverlap(*unit, *apart, I) &&
                e.GetBoundingBoxOverlapVolume(*unit, *apart, I) == 0);
    EXPECT_TRUE(e.CheckForBoundingBoxOverlap(*unit, *apart, shift) &&
                !e.CheckForBoundingBoxOverlap(*apart, *unit, shift));
    EXPECT_FLOAT_EQ(e.GetBoundingBoxOverlapVolume(*unit, *apart, shift), 0.5f);
    // Both boxes grow by 1: closed boxes that touch at x = 2 overlap, with no volume.
    config.SetBoundingBoxBlowup(1.0f);
    EXPECT_TRUE(e.CheckForBoundingBoxOverlap(*unit, *apart, I) && e.GetBoundingBoxOverlapVolume(*unit, *apart, I) == 0);
}
