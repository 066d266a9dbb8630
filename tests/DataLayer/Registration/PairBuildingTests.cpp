#include "SurfelEngineSupport.h"

#include "velm/Frame/CbException.h"
#include "velm/Frame/VelmException.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <utility>

using namespace SurfelEngineTest;
using Base::CSurfelCollectionMask;

namespace
{
// P0 at the origin, P1 at distance 1, P2 at distance exactly 2 (the radius used below), P3 far off.
const std::vector<CbVector3f> c_Cluster{{0, 0, 0}, {1, 0, 0}, {0, 2, 0}, {20, 0, 0}};
const std::vector<CbVector3f> c_Square{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0.5f, 0.5f, 0.2f}};
constexpr double c_KernelP1 = 0.31640625; // (1 - 1/4)^4
const uint16_t c_Up = DataLayer::QuantizeNormal(CbVector3f(0.0f, 0.0f, 1.0f));

// The engine's kernel written out: (1 - d^2/r^2)^4 inside the radius.
double Kernel(const CbVector3f& p, double radius)
{
    const double t = 1.0 - (double(p.x) * p.x + double(p.y) * p.y) / (radius * radius);
    return t > 0.0 ? t * t * t * t : 0.0;
}

// The one pair that a limit of one sample builds.
SurfelPair OnlyPair(const Base::SSurfelData& fixData, const Base::SSurfelData& floatData, double threshold = 2.0,
                    float queryRadiusThreshold = 100.0f, const CSurfelCollectionMask* maskFix = nullptr,
                    const CSurfelCollectionMask* maskFloat = nullptr)
{
    Rig rig(fixData, floatData, 1, threshold, queryRadiusThreshold, maskFix, maskFloat);
    const auto& pairs = rig.Build();
    EXPECT_EQ(pairs.size(), 1u);
    return pairs.empty() ? SurfelPair() : pairs[0];
}

std::vector<uint32_t> FloatIndices(const std::vector<SurfelPair>& pairs)
{
    std::vector<uint32_t> indices;
    for (const SurfelPair& pair : pairs)
        indices.push_back(pair.uiIndexFloat);
    return indices;
}

} // namespace

TEST(SurfelEnginePairs, NeighbourhoodWeightsAndCentroids)
{
    // Kernel 1 for the sample itself, c_KernelP1 for P1; P2 at the radius contributes nothing.
    Rig rig(PlacedSurfels(c_Cluster), PlacedSurfels(c_Cluster), 1, 2.0);
    ASSERT_EQ(rig.Build().size(), 1u);
    const SurfelPair& pair = rig.engine.vecPairs[0];
    const double side = 1.0 + c_KernelP1;
    EXPECT_TRUE(pair.dWeight == side * side && rig.engine.dSumOfPairWeights == pair.dWeight &&
                rig.engine.dOverallSumOfPairWeights == pair.dWeight);
    EXPECT_NEAR(pair.vCentroidFloat.x, c_KernelP1 / side, 1e-15);
    EXPECT_NEAR(pair.vNormalFix.z, 1.0, 1e-3);
    EXPECT_LT(rig.engine.dRMSE, 1e-7); // only the single-precision rounding of the mapped centroid

    // Quality (51 / 255 = 0.2f) outranks the weight element; without quality the weight counts;
    // a quality of 0 (here on the fixed side only) silences a neighbour; code 8128 ("no normal")
    // adds neither position nor normal; a masked surfel leaves both neighbourhoods.
    const Base::SSurfelData plain = PlacedSurfels(c_Cluster);
    Base::SSurfelData quality = plain, weights = plain, silenced = plain, noNormal = plain;
    quality.vecQuality = {255, 51, 255, 255}, quality.vecWeight = {7.0f, 7.0f, 7.0f, 7.0f};
    EXPECT_EQ(OnlyPair(quality, quality).dWeight, std::pow(1.0 + double(51.0f / 255.0f) * c_KernelP1, 2));
    weights.vecWeight = {2.0f, 0.5f, 1.0f, 1.0f};
    const SurfelPair weighted = OnlyPair(weights, weights);
    EXPECT_EQ(weighted.dWeight, std::pow(2.0 + 0.5 * c_KernelP1, 2));
    EXPECT_NEAR(weighted.vCentroidFloat.x, 0.5 * c_KernelP1 / (2.0 + 0.5 * c_KernelP1), 1e-15);
    silenced.vecQuality = {255, 0, 255, 255};
    EXPECT_EQ(OnlyPair(silenced, plain).dWeight, side);
    noNormal.vecNormals.clear(), noNormal.vecNormalCodes = {c_Up, 8128, c_Up, c_Up};
    EXPECT_EQ(OnlyPair(noNormal, noNormal).dWeight, 1.0);
    CSurfelCollectionMask mask(4);
    mask[1] = 0x8000;
    const SurfelPair masked = OnlyPair(plain, plain, 2.0, 100.0f, &mask, &mask);
    EXPECT_EQ(std::make_pair(masked.dWeight, masked.vCentroidFix.x), std::make_pair(1.0, 0.0));
}

TEST(SurfelEnginePairs, WideThresholdUsesTheSixNearestNeighboursOnly)
{
    // The sample at the origin and seven neighbours at 0.5 .. 1.1, all inside radius 2.
    std::vector<CbVector3f> positions{{0, 0, 0}};
    for (int k = 0; k < 7; ++k)
        positions.push_back(CbVector3f(static_cast<float>((0.5 + 0.1 * k) * std::cos(0.9 * k)),
                                       static_cast<float>((0.5 + 0.1 * k) * std::sin(0.9 * k)), 0.0f));
    const Base::SSurfelData data = PlacedSurfels(positions);
    auto side = [&](int neighbours, double radius, int skip = 0) {
        double sum = 1.0;
        for (int k = 1; k <= neighbours; ++k)
            sum += k == skip ? 0.0 : Kernel(positions[k], radius);
        return sum;
    };
    EXPECT_NEAR(OnlyPair(data, data, 2.0, 100.0f).dWeight, std::pow(side(7, 2.0), 2), 1e-12);
    // Above fQueryRadiusThreshold: the sample and its five nearest neighbours.
    EXPECT_NEAR(OnlyPair(data, data, 2.0, 1.0f).dWeight, std::pow(side(5, 2.0), 2), 1e-12);
    // The kernel still cuts at the radius: of the six nearest, 0.8 and 0.9 lie beyond 0.75.
    EXPECT_NEAR(OnlyPair(data, data, 0.75, 0.5f).dWeight, std::pow(side(3, 0.75), 2), 1e-12);
    // A masked neighbour among the six nearest is dropped, not replaced by the seventh.
    CSurfelCollectionMask mask(8);
    mask[1] = 1;
    EXPECT_NEAR(OnlyPair(data, data, 2.0, 1.0f, &mask).dWeight, side(5, 2.0, 1) * side(5, 2.0), 1e-12);
}

TEST(SurfelEnginePairs, SampleLimitMasksEmptyNeighbourhoodsAndTheFloorOfThreeSurfels)
{
    // A 5 x 4 grid sampled in a scrambled order; masked samples do not use up the limit of 10.
    Base::SSurfelData data = PlacedSurfels(Grid(5, 4));
    CSurfelCollectionMask mask(20);
    for (uint32_t k = 0; k < 20; ++k)
        data.vecSampleOrder[k] = (7 * k + 3) % 20;
    for (int k = 0; k < 5; ++k)
        mask[data.vecSampleOrder[k]] = 1;
    EXPECT_EQ(FloatIndices(Rig(data, data, 10, 1.5, 100.0f, nullptr, &mask).Build()),
              std::vector<uint32_t>(data.vecSampleOrder.begin() + 5, data.vecSampleOrder.begin() + 15));

    // A sample whose own neighbourhood weighs nothing uses up the limit without a pair.
    Base::SSurfelData lonely = PlacedSurfels({{0, 0, 0}, {10, 0, 0}, {11, 0, 0}, {10, 1, 0}});
    lonely.vecNormals.clear(), lonely.vecNormalCodes = {8128, c_Up, c_Up, c_Up};
    EXPECT_EQ(FloatIndices(Rig(lonely, lonely, 2, 2.0).Build()), std::vector<uint32_t>{1});
    EXPECT_EQ(FloatIndices(Rig(lonely, lonely, 3, 2.0).Build()), (std::vector<uint32_t>{1, 2}));

    // A limit of 0 takes no sample: no pair, no centre, and the RMSE of no pairs.
    Rig none(PlacedSurfels(c_Cluster), PlacedSurfels(c_Cluster), 0, 2.0);
    EXPECT_TRUE(none.Build().empty() && none.engine.vPairCentre == CbVector3d(0.0, 0.0, 0.0) &&
                none.engine.dRMSE == DBL_MAX && none.engine.uiNrDepthImagePairs == 1u);

    // Two floating surfels are too few even without a configured minimum; nothing else changes.
    Rig two(PlacedSurfels(c_Cluster), PlacedSurfels({{0, 0, 0}, {1, 0, 0}}), 10, 2.0);
    two.engine.dRMSE = 5.0;
    EXPECT_TRUE(two.Build().empty() && two.engine.bSurfelCountTooLow && two.engine.dRMSE == 5.0 &&
                two.engine.uiNrDepthImagePairs == 0u);
    // Three fixed surfels are enough.
    Rig three(PlacedSurfels({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}), PlacedSurfels(c_Cluster), 10, 2.0);
    EXPECT_FALSE(three.Build().empty() || three.engine.bSurfelCountTooLow);
}

TEST(SurfelEnginePairs, TransformationMapsSamplesAndASingularOneThrows)
{
    std::vector<CbVector3f> shifted;
    for (const CbVector3f& p : c_Cluster)
        shifted.push_back(CbVector3f(p.x - 5.0f, p.y, p.z + 2.0f));
    Rig rig(PlacedSurfels(c_Cluster), PlacedSurfels(shifted), 4, 2.0);
    rig.engine.SetTransform(CbMatrix4Rd::Translation(5.0, 0.0, -2.0));
    ASSERT_EQ(rig.Build().size(), 4u);
    double sumW = 0.0, sumX = 0.0;
    for (const SurfelPair& pair : rig.engine.vecPairs)
    {
        EXPECT_NEAR((pair.vCentroidFix - pair.vCentroidFloat - CbVector3d(5.0, 0.0, -2.0)).Length(), 0.0, 1e-12);
        sumW += pair.dWeight, sumX += pair.dWeight * pair.vCentroidFix.x;
    }
    EXPECT_EQ(rig.engine.vecPairs[3].dWeight, 1.0); // P3 has only itself on either side
    EXPECT_NEAR(rig.engine.vPairCentre.x, sumX / sumW, 1e-12);

    // A transformation that flattens x = 0 cannot be inverted: the pairs are emptied first.
    CbMatrix4Rd flat;
    flat.e[0] = 0.0;
    rig.engine.SetTransform(flat);
    EXPECT_THROW(rig.engine.BuildPairs(), XoExceptionNotInvertible);
    EXPECT_TRUE(rig.engine.vecPairs.empty() && rig.engine.dSumOfPairWeights == 0.0 &&
                rig.engine.vPairCentre == CbVector3d(0.0, 0.0, 0.0));
}

TEST(SurfelEnginePairs, RepeatedPairBuildingReusesItsBuffersAndSurvivesAMove)
{
    Rig rig(PlacedSurfels(Grid(10, 10)), PlacedSurfels(Grid(10, 10)), 100, 2.5);
    std::vector<std::vector<const void*>> buffers;
    for (int build = 0; build < 6; ++build) // alternating between the radius and the k-nearest query
    {
        rig.config.SetQueryRadiusThreshold(build % 2 ? 1.0f : 100.0f);
        rig.Build();
        buffers.push_back(
            {rig.engine.vecPairs.data(), rig.engine.vecNeighbourIndices.data(), rig.engine.vecNearestResult.data()});
    }
    // Warmed up by both queries, the buffers stay where they are.
    EXPECT_EQ(std::vector<std::vector<const void*>>(buffers.begin() + 3, buffers.end()),
              std::vector<std::vector<const void*>>(3, buffers[2]));

    // A moved engine keeps its pairs and its models, and builds as many pairs again.
    ProbeEngine moved(std::move(rig.engine)), assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.vecPairs.size(), 100u);
    EXPECT_EQ((assigned.BuildPairs(), assigned.vecPairs.size()), 100u);
}

// The floating neighbourhoods a build remembers answer the next one only while they are the same:
// each build along a path of thresholds (radius query growing and shrinking, the six nearest, a
// changed mask, a denser floating model) gives the pairs a fresh engine gives, and every build pairs
// each unmasked sample.
TEST(SurfelEnginePairs, RememberedNeighbourhoodsGiveWhatAFreshQueryGives)
{
    std::vector<CbVector3f> bumpy = Grid(12, 12), dense = Grid(12, 12);
    for (size_t i = 0; i < bumpy.size(); ++i)
        bumpy[i].z = 0.3f * std::sin(1.7f * static_cast<float>(i)), dense[i] = dense[i] * 0.6f;
    const Base::SSurfelData fixData = PlacedSurfels(Grid(12, 12));
    const Base::SSurfelData floatData[] = {PlacedSurfels(bumpy), PlacedSurfels(bumpy), PlacedSurfels(dense)};
    CSurfelCollectionMask mask(144);
    for (size_t i = 0; i < 144; i += 5)
        mask[i] = 1;
    const CSurfelCollectionMask* masks[] = {nullptr, &mask, nullptr};
    Rig walked(fixData, floatData[0], 144, 1.0);
    const auto denseCollection = Collection(floatData[2]);
    const std::tuple<double, float, int> steps[] = {{2.5, 100.0f, 0}, {1.2, 100.0f, 0}, {1.9, 100.0f, 0},
                                                    {3.1, 100.0f, 0}, {2.0, 1.0f, 0},   {2.2, 1.0f, 2},
                                                    {1.6, 100.0f, 2}, {2.0, 1.0f, 1},   {1.5, 100.0f, 1}};
    int model = 0;
    for (const auto& [threshold, queryRadius, next] : steps)
    {
        SCOPED_TRACE(testing::Message() << threshold << " " << queryRadius << " " << next);
        if (next != model)
            walked.engine.SetModelFloat(next == 2 ? *denseCollection : *walked.flt, masks[next]);
        model = next;
        Rig fresh(fixData, floatData[model], 144, threshold, queryRadius, nullptr, masks[model]);
        walked.config.SetQueryRadiusThreshold(queryRadius);
        walked.engine.SetDistanceThreshold(threshold);
        const std::vector<SurfelPair>& expected = fresh.Build();
        const std::vector<SurfelPair>& got = walked.Build();
        const auto fields = [](const SurfelPair& p) {
            return std::make_tuple(p.uiIndexFloat, p.dWeight, p.vCentroidFloat, p.vCentroidFix);
        };
        ASSERT_TRUE(expected.size() == (model == 1 ? 115u : 144u) && got.size() == expected.size());
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(fields(got[i]), fields(expected[i])) << i;
    }
}

TEST(SurfelEngineModels, RunningNeedsBothAndSettingOneIsAllOrNothing)
{
    Base::SSurfelData rich = PlacedSurfels(c_Square), positionsOnly;
    rich.vecQuality.assign(5, 200), rich.vecWeight.assign(5, 0.5f), rich.vecBoundaryFlags.assign(5, 1);
    positionsOnly.vecPositions = {{5, 5, 5}, {6, 5, 5}, {5, 6, 5}, {6, 6, 7}};
    auto richModel = Collection(rich), noNormals = Collection(positionsOnly);
    auto plainModel = Collection(PlacedSurfels(c_Square));
    const VelmTorCorrICPPointConfig config = SyntheticScans::EngineConfig();
    ProbeEngine engine, onlyFix;
    engine.SetConfiguration(config);
    EXPECT_EQ(MessageOf([&] { engine.CalculateICPTransform(); }),
              L"The engine has no fixed and no floating model; call SetModelFix and SetModelFloat first.");
    engine.SetModelFloat(*richModel, nullptr);
    EXPECT_EQ(MessageOf([&] { engine.DoICPIteration(); }),
              L"The engine has no fixed model; call SetModelFix and SetModelFloat first.");
    onlyFix.SetConfiguration(config);
    onlyFix.SetModelFix(*plainModel, nullptr);
    EXPECT_EQ(MessageOf([&] { onlyFix.BuildPairs(); }),
              L"The engine has no floating model; call SetModelFix and SetModelFloat first.");
    EXPECT_THROW(onlyFix.ComputePairWeightsQuotient(), VelmException);

    // A model without normals or a short mask changes nothing.
    engine.SetModelFix(*richModel, nullptr);
    const float ellipsoidX = engine.ceFloat[0].x;
    for (auto set : {&ProbeEngine::SetModelFix, &ProbeEngine::SetModelFloat})
        EXPECT_EQ(MessageOf([&] { (engine.*set)(*noNormals, nullptr); }),
                  L"Nicht verfuegbare ElementAccessor-Definition angefordert.");
    CSurfelCollectionMask shortMask(4);
    EXPECT_THROW(engine.SetModelFix(*richModel, &shortMask), VelmException);
    EXPECT_TRUE(engine.pModelFix == richModel.get() && engine.pModelFloat == richModel.get() && !engine.pMaskFix);
    EXPECT_TRUE(engine.accQualityFix.IsValid() && engine.ceFloat[0].x == ellipsoidX);

    // Back to a model without optional elements: none of the previous model's survives.
    engine.SetModelFix(*plainModel, nullptr);
    engine.SetModelFloat(*plainModel, nullptr);
    const Base::AElementAccessBase* optional[] = {&engine.accQualityFix,  &engine.accQualityFloat,
                                                  &engine.accWeightFix,   &engine.accWeightFloat,
                                                  &engine.accBoundaryFix, &engine.accBoundaryFloat};
    for (const Base::AElementAccessBase* access : optional)
        EXPECT_TRUE(access->pData == nullptr && access->uiElementSize == 0u);
}
