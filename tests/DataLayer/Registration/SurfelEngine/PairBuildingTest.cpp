#include "SurfelEngineSupport.h"

#include "velm/Frame/CbException.h"
#include "velm/Frame/VelmException.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <functional>
#include <string>
#include <utility>

using namespace SurfelEngineTest;

namespace
{
// P0 at the origin, P1 at distance 1, P2 at distance exactly 2 (the radius used below), P3 far off.
const std::vector<CbVector3f> c_Cluster{{0, 0, 0}, {1, 0, 0}, {0, 2, 0}, {20, 0, 0}};
constexpr double c_KernelP1 = 0.31640625; // (1 - 1/4)^4
const uint16_t c_Up = DataLayer::QuantizeNormal(CbVector3f(0.0f, 0.0f, 1.0f));

double Sq(double v)
{
    return v * v;
}

// The engine's kernel written out: (1 - d^2/r^2)^4 inside the radius.
double Kernel(const CbVector3f& p, double radius)
{
    const double t = 1.0 - (double(p.x) * p.x + double(p.y) * p.y) / (radius * radius);
    return t > 0.0 ? t * t * t * t : 0.0;
}

// The one pair of the cluster sample P0 with the given data on both sides (fixed side may differ).
SurfelPair ClusterPair(const Base::SSurfelData& floatData, const Base::SSurfelData& fixData)
{
    Rig rig(fixData, floatData, 1, 2.0);
    const auto& pairs = rig.Build();
    EXPECT_EQ(pairs.size(), 1u);
    return pairs.empty() ? SurfelPair() : pairs[0];
}
const std::vector<CbVector3f> c_Square{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0.5f, 0.5f, 0.2f}};

void ExpectMessage(const std::function<void()>& call, const std::wstring& message)
{
    try
    {
        call();
        ADD_FAILURE() << "no exception";
    }
    catch (const VelmException& e)
    {
        EXPECT_EQ(std::wstring(e.GetMessageText().GetString()), message);
    }
}
} // namespace

TEST(SurfelEnginePairs, NeighbourhoodWeightsAndCentroids)
{
    // Kernel 1 for the sample itself, c_KernelP1 for P1; P2 at the radius contributes nothing.
    Rig rig(PlacedSurfels(c_Cluster), PlacedSurfels(c_Cluster), 1, 2.0);
    ASSERT_EQ(rig.Build().size(), 1u);
    const SurfelPair& pair = rig.engine.vecPairs[0];
    const double side = 1.0 + c_KernelP1;
    EXPECT_EQ(pair.dWeight, side * side);
    EXPECT_NEAR(pair.vCentroidFloat.x, c_KernelP1 / side, 1e-15);
    EXPECT_NEAR(pair.vCentroidFix.x, c_KernelP1 / side, 1e-15);
    EXPECT_NEAR(pair.vNormalFix.Length(), 1.0, 1e-15);
    EXPECT_NEAR(pair.vNormalFix.z, 1.0, 1e-3);
    EXPECT_EQ(rig.engine.dSumOfPairWeights, pair.dWeight);
    EXPECT_EQ(rig.engine.dOverallSumOfPairWeights, pair.dWeight);
    EXPECT_NEAR(rig.engine.vPairCentre.x, pair.vCentroidFix.x, 1e-15);
    EXPECT_LT(rig.engine.dRMSE, 1e-7); // only the single-precision rounding of the mapped centroid

    // Quality (51 / 255 = 0.2f) outranks the weight element; without quality the weight counts;
    // a quality of 0 (here on the fixed side only) silences a neighbour; code 8128 ("no normal")
    // adds neither position nor normal.
    Base::SSurfelData quality = PlacedSurfels(c_Cluster), weights = quality, silenced = quality, noNormal = quality;
    quality.vecQuality = {255, 51, 255, 255};
    quality.vecWeight = {7.0f, 7.0f, 7.0f, 7.0f};
    EXPECT_EQ(ClusterPair(quality, quality).dWeight, Sq(1.0 + double(51.0f / 255.0f) * c_KernelP1));
    weights.vecWeight = {2.0f, 0.5f, 1.0f, 1.0f};
    const SurfelPair weighted = ClusterPair(weights, weights);
    EXPECT_EQ(weighted.dWeight, Sq(2.0 + 0.5 * c_KernelP1));
    EXPECT_NEAR(weighted.vCentroidFloat.x, 0.5 * c_KernelP1 / (2.0 + 0.5 * c_KernelP1), 1e-15);
    silenced.vecQuality = {255, 0, 255, 255};
    EXPECT_EQ(ClusterPair(PlacedSurfels(c_Cluster), silenced).dWeight, side);
    noNormal.vecNormals.clear();
    noNormal.vecNormalCodes = {c_Up, 8128, c_Up, c_Up};
    EXPECT_EQ(ClusterPair(noNormal, noNormal).dWeight, 1.0);

    // A masked surfel leaves both neighbourhoods.
    Base::CSurfelCollectionMask mask(4);
    mask[1] = 0x8000;
    rig.engine.SetModelFloat(*rig.flt, &mask);
    rig.engine.SetModelFix(*rig.fix, &mask);
    ASSERT_EQ(rig.Build().size(), 1u);
    EXPECT_EQ(rig.engine.vecPairs[0].dWeight, 1.0);
    EXPECT_EQ(rig.engine.vecPairs[0].vCentroidFix.x, 0.0);
}

TEST(SurfelEnginePairs, WideThresholdUsesTheSixNearestNeighboursOnly)
{
    // The sample at the origin and seven neighbours at 0.5 .. 1.1, all inside radius 2.
    std::vector<CbVector3f> positions{{0, 0, 0}};
    for (int k = 0; k < 7; ++k)
        positions.push_back(CbVector3f(static_cast<float>((0.5 + 0.1 * k) * std::cos(0.9 * k)),
                                       static_cast<float>((0.5 + 0.1 * k) * std::sin(0.9 * k)), 0.0f));
    auto side = [&](int neighbours, double radius, int skip = 0) {
        double sum = 1.0;
        for (int k = 1; k <= neighbours; ++k)
            sum += k == skip ? 0.0 : Kernel(positions[k], radius);
        return sum;
    };
    auto weight = [&](double threshold, float queryRadiusThreshold, const Base::CSurfelCollectionMask* maskFix) {
        Rig rig(PlacedSurfels(positions), PlacedSurfels(positions), 1, threshold, queryRadiusThreshold);
        rig.engine.SetModelFix(*rig.fix, maskFix);
        const auto& pairs = rig.Build();
        EXPECT_EQ(pairs.size(), 1u);
        return pairs.empty() ? 0.0 : pairs[0].dWeight;
    };
    EXPECT_NEAR(weight(2.0, 100.0f, nullptr), Sq(side(7, 2.0)), 1e-12);
    // Above fQueryRadiusThreshold: the sample and its five nearest neighbours.
    EXPECT_NEAR(weight(2.0, 1.0f, nullptr), Sq(side(5, 2.0)), 1e-12);
    // The kernel still cuts at the radius: of the six nearest, 0.8 and 0.9 lie beyond 0.75.
    EXPECT_NEAR(weight(0.75, 0.5f, nullptr), Sq(side(3, 0.75)), 1e-12);
    // A masked neighbour among the six nearest is dropped, not replaced by the seventh.
    Base::CSurfelCollectionMask mask(8);
    mask[1] = 1;
    EXPECT_NEAR(weight(2.0, 1.0f, &mask), side(5, 2.0, 1) * side(5, 2.0), 1e-12);
}

TEST(SurfelEnginePairs, SampleLimitMasksAndEmptyNeighbourhoods)
{
    // A 5 x 4 grid sampled in a scrambled order; masked samples do not use up the limit of 10.
    Base::SSurfelData data = PlacedSurfels(Grid(5, 4));
    for (uint32_t k = 0; k < 20; ++k)
        data.vecSampleOrder[k] = (7 * k + 3) % 20;
    Rig rig(data, data, 10, 1.5);
    Base::CSurfelCollectionMask mask(20);
    for (int k = 0; k < 5; ++k)
        mask[data.vecSampleOrder[k]] = 1;
    rig.engine.SetModelFloat(*rig.flt, &mask);
    ASSERT_EQ(rig.Build().size(), 10u);
    for (size_t k = 0; k < 10; ++k)
        EXPECT_EQ(rig.engine.vecPairs[k].uiIndexFloat, data.vecSampleOrder[k + 5]) << k;

    // A sample whose own neighbourhood weighs nothing uses up the limit without a pair.
    Base::SSurfelData lonely = PlacedSurfels({{0, 0, 0}, {10, 0, 0}, {11, 0, 0}, {10, 1, 0}});
    lonely.vecNormals.clear();
    lonely.vecNormalCodes = {8128, c_Up, c_Up, c_Up};
    Rig two(lonely, lonely, 2, 2.0);
    ASSERT_EQ(two.Build().size(), 1u);
    EXPECT_EQ(two.engine.vecPairs[0].uiIndexFloat, 1u);
    Rig three(lonely, lonely, 3, 2.0);
    EXPECT_EQ(three.Build().size(), 2u);

    // A limit of 0 takes no sample: no pair, no centre, and the RMSE of no pairs.
    Rig none(PlacedSurfels(c_Cluster), PlacedSurfels(c_Cluster), 0, 2.0);
    EXPECT_TRUE(none.Build().empty());
    EXPECT_EQ(none.engine.vPairCentre, CbVector3d(0.0, 0.0, 0.0));
    EXPECT_EQ(none.engine.dRMSE, DBL_MAX);
    EXPECT_EQ(none.engine.uiNrDepthImagePairs, 1u);
}

TEST(SurfelEnginePairs, FloorOfThreeSurfels)
{
    // Two floating surfels are too few even without a configured minimum; nothing else changes.
    Rig two(PlacedSurfels(c_Cluster), PlacedSurfels({{0, 0, 0}, {1, 0, 0}}), 10, 2.0);
    two.engine.dRMSE = 5.0;
    EXPECT_TRUE(two.Build().empty());
    EXPECT_TRUE(two.engine.bSurfelCountTooLow);
    EXPECT_EQ(two.engine.dRMSE, 5.0);
    EXPECT_EQ(two.engine.uiNrDepthImagePairs, 0u);
    // Three fixed surfels are enough.
    Rig three(PlacedSurfels({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}), PlacedSurfels(c_Cluster), 10, 2.0);
    EXPECT_FALSE(three.Build().empty());
    EXPECT_FALSE(three.engine.bSurfelCountTooLow);
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
        EXPECT_NEAR(pair.vCentroidFix.x, pair.vCentroidFloat.x + 5.0, 1e-12);
        EXPECT_NEAR(pair.vCentroidFix.z, pair.vCentroidFloat.z - 2.0, 1e-12);
        sumW += pair.dWeight;
        sumX += pair.dWeight * pair.vCentroidFix.x;
    }
    EXPECT_EQ(rig.engine.vecPairs[3].dWeight, 1.0); // P3 has only itself on either side
    EXPECT_NEAR(rig.engine.vPairCentre.x, sumX / sumW, 1e-12);

    // A transformation that flattens x = 0 cannot be inverted: the pairs are emptied first.
    CbMatrix4Rd flat;
    flat.e[0] = 0.0;
    rig.engine.SetTransform(flat);
    EXPECT_THROW(rig.engine.BuildPairs(), XoExceptionNotInvertible);
    EXPECT_TRUE(rig.engine.vecPairs.empty());
    EXPECT_EQ(rig.engine.dSumOfPairWeights, 0.0);
    EXPECT_EQ(rig.engine.vPairCentre, CbVector3d(0.0, 0.0, 0.0));
}

TEST(SurfelEnginePairs, RepeatedPairBuildingReusesItsBuffers)
{
    Rig rig(PlacedSurfels(Grid(10, 10)), PlacedSurfels(Grid(10, 10)), 100, 2.5);
    auto buffers = [&] {
        return std::vector<const void*>{rig.engine.vecPairs.data(), rig.engine.vecNeighbourIndices.data(),
                                        rig.engine.vecNearestResult.data()};
    };
    std::vector<const void*> warm;
    for (int build = 0; build < 6; ++build) // alternating between the radius and the k-nearest query
    {
        rig.config.SetQueryRadiusThreshold(build % 2 ? 1.0f : 100.0f);
        rig.Build();
        if (build == 2)
            warm = buffers();
        EXPECT_TRUE(build <= 2 || buffers() == warm) << build;
    }
}

TEST(SurfelEngineModels, SettingAModelIsAllOrNothingAndLeavesNoOptionalElementBehind)
{
    Base::SSurfelData rich = PlacedSurfels(c_Square);
    rich.vecQuality.assign(5, 200);
    rich.vecWeight.assign(5, 0.5f);
    rich.vecBoundaryFlags.assign(5, 1);
    auto richModel = Collection(rich);
    Base::SSurfelData positionsOnly;
    positionsOnly.vecPositions = {{5, 5, 5}, {6, 5, 5}, {5, 6, 5}, {6, 6, 7}};
    auto noNormals = Collection(positionsOnly);

    ProbeEngine engine;
    engine.SetModelFix(*richModel, nullptr);
    engine.SetModelFloat(*richModel, nullptr);
    const float ellipsoidX = engine.ceFloat[0].x;
    ExpectMessage([&] { engine.SetModelFix(*noNormals, nullptr); },
                  L"Nicht verfuegbare ElementAccessor-Definition angefordert.");
    ExpectMessage([&] { engine.SetModelFloat(*noNormals, nullptr); },
                  L"Nicht verfuegbare ElementAccessor-Definition angefordert.");
    Base::CSurfelCollectionMask shortMask(4);
    EXPECT_THROW(engine.SetModelFix(*richModel, &shortMask), VelmException);
    EXPECT_EQ(engine.pModelFix, richModel.get());
    EXPECT_EQ(engine.pModelFloat, richModel.get());
    EXPECT_EQ(engine.pMaskFix, nullptr);
    EXPECT_TRUE(engine.accQualityFix.IsValid());
    EXPECT_EQ(engine.ceFloat[0].x, ellipsoidX);

    // Back to a model without optional elements: none of the previous model's survives.
    auto plainModel = Collection(PlacedSurfels(c_Square));
    engine.SetModelFix(*plainModel, nullptr);
    engine.SetModelFloat(*plainModel, nullptr);
    const Base::AElementAccessBase* optional[] = {&engine.accQualityFix, &engine.accQualityFloat,
                                                  &engine.accWeightFix,  &engine.accWeightFloat,
                                                  &engine.accBoundaryFix, &engine.accBoundaryFloat};
    for (const Base::AElementAccessBase* access : optional)
    {
        EXPECT_EQ(access->pData, nullptr);
        EXPECT_EQ(access->uiElementSize, 0u);
    }
}

TEST(SurfelEngineModels, RunningWithoutBothModelsThrows)
{
    auto model = Collection(PlacedSurfels(c_Square));
    const VelmTorCorrICPPointConfig config = SyntheticScanConfig();
    ProbeEngine onlyFloat, onlyFix;
    onlyFloat.SetConfiguration(config);
    ExpectMessage([&] { onlyFloat.CalculateICPTransform(); },
                  L"The engine has no fixed and no floating model; call SetModelFix and SetModelFloat first.");
    onlyFloat.SetModelFloat(*model, nullptr);
    ExpectMessage([&] { onlyFloat.DoICPIteration(); },
                  L"The engine has no fixed model; call SetModelFix and SetModelFloat first.");
    onlyFix.SetConfiguration(config);
    onlyFix.SetModelFix(*model, nullptr);
    ExpectMessage([&] { onlyFix.BuildPairs(); },
                  L"The engine has no floating model; call SetModelFix and SetModelFloat first.");
    EXPECT_THROW(onlyFix.ComputePairWeightsQuotient(), VelmException);
}

TEST(SurfelEngineModels, MovedEnginesKeepWorking)
{
    Rig rig(PlacedSurfels(c_Square), PlacedSurfels(c_Square), 100, 1.5);
    ASSERT_EQ(rig.Build().size(), 5u);
    ProbeEngine moved(std::move(rig.engine)), assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.vecPairs.size(), 5u);
    assigned.BuildPairs();
    EXPECT_EQ(assigned.vecPairs.size(), 5u);
}
