#include "DataLayer/EngineRigs.h"

using namespace EngineTest;

// P0 at the origin, P1 at distance 1, P2 at distance exactly 2 (the radius used below), P3 far off.
const std::vector<CbVector3f> c_Cluster{{0, 0, 0}, {1, 0, 0}, {0, 2, 0}, {20, 0, 0}};
const std::vector<CbVector3f> c_Square{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0.5f, 0.5f, 0.2f}};
constexpr double c_KernelP1 = 0.31640625; // (1 - 1/4)^4
const uint16_t c_Up = QuantizeNormal(CbVector3f(0.0f, 0.0f, 1.0f));

// The engine's kernel written out: (1 - d^2/r^2)^4 inside the radius.
static double Kernel(const CbVector3f& p, double radius)
{
    const double t = 1.0 - (double(p.x) * p.x + double(p.y) * p.y) / (radius * radius);
    return t > 0.0 ? t * t * t * t : 0.0;
}

// The one pair that a limit of one sample builds.
static SurfelPair OnlyPair(const SSurfelData& fixData, const SSurfelData& floatData, double threshold = 2.0,
                           float queryRadiusThreshold = 100.0f, const CSurfelCollectionMask* maskFix = nullptr,
                           const CSurfelCollectionMask* maskFloat = nullptr)
{
    Rig rig(fixData, floatData, 1, threshold, queryRadiusThreshold, maskFix, maskFloat);
    EXPECT_EQ(rig.Build().size(), 1u);
    return rig.engine.vecPairs.empty() ? SurfelPair() : rig.engine.vecPairs[0];
}

static std::vector<uint32_t> FloatIndices(const std::vector<SurfelPair>& pairs)
{
    std::vector<uint32_t> indices(pairs.size());
    std::transform(pairs.begin(), pairs.end(), indices.begin(), [](const SurfelPair& p) { return p.uiIndexFloat; });
    return indices;
}

TEST(SurfelEnginePairs, NeighbourhoodWeightsCentroidsAndTheSixNearestOnlyAboveTheQueryRadiusThreshold)
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
    const SSurfelData plain = PlacedSurfels(c_Cluster);
    SSurfelData quality = plain, weights = plain, silenced = plain, noNormal = plain;
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
    CSurfelCollectionMask mask(4), mask8(8);
    mask[1] = 0x8000, mask8[1] = 1;
    const SurfelPair masked = OnlyPair(plain, plain, 2.0, 100.0f, &mask, &mask);
    EXPECT_EQ(std::make_pair(masked.dWeight, masked.vCentroidFix.x), std::make_pair(1.0, 0.0));

    // Seven neighbours at 0.5 .. 1.1 inside radius 2; above fQueryRadiusThreshold only the six nearest count.
    std::vector<CbVector3f> positions{{0, 0, 0}};
    for (int k = 0; k < 7; ++k)
        positions.push_back(CbVector3f(static_cast<float>((0.5 + 0.1 * k) * std::cos(0.9 * k)),
                                       static_cast<float>((0.5 + 0.1 * k) * std::sin(0.9 * k)), 0.0f));
    const SSurfelData data = PlacedSurfels(positions);
    auto sideOf = [&](int neighbours, double radius, int skip = 0) {
        double sum = 1.0;
        for (int k = 1; k <= neighbours; ++k)
            sum += k == skip ? 0.0 : Kernel(positions[k], radius);
        return sum;
    };
    EXPECT_NEAR(OnlyPair(data, data, 2.0, 100.0f).dWeight, std::pow(sideOf(7, 2.0), 2), 1e-12);
    EXPECT_NEAR(OnlyPair(data, data, 2.0, 1.0f).dWeight, std::pow(sideOf(5, 2.0), 2), 1e-12); // itself and five
    // The kernel still cuts at the radius: of the six nearest, 0.8 and 0.9 lie beyond 0.75.
    EXPECT_NEAR(OnlyPair(data, data, 0.75, 0.5f).dWeight, std::pow(sideOf(3, 0.75), 2), 1e-12);
    // A masked neighbour among the six nearest is dropped, not replaced by the seventh.
    EXPECT_NEAR(OnlyPair(data, data, 2.0, 1.0f, &mask8).dWeight, sideOf(5, 2.0, 1) * sideOf(5, 2.0), 1e-12);
}

TEST(SurfelEnginePairs, SampleLimitMasksEmptyNeighbourhoodsAndTheFloorOfThreeSurfels)
{
    // A 5 x 4 grid sampled in a scrambled order; masked samples do not use up the limit of 10.
    SSurfelData data = PlacedSurfels(Grid(5, 4));
    CSurfelCollectionMask mask(20);
    for (uint32_t k = 0; k < 20; ++k)
        data.vecSampleOrder[k] = (7 * k + 3) % 20, mask[data.vecSampleOrder[k]] = k < 5;
    EXPECT_EQ(FloatIndices(Rig(data, data, 10, 1.5, 100.0f, nullptr, &mask).Build()),
              std::vector<uint32_t>(data.vecSampleOrder.begin() + 5, data.vecSampleOrder.begin() + 15));

    // A sample whose own neighbourhood weighs nothing uses up the limit without a pair.
    SSurfelData lonely = PlacedSurfels({{0, 0, 0}, {10, 0, 0}, {11, 0, 0}, {10, 1, 0}});
    lonely.vecNormals.clear(), lonely.vecNormalCodes = {8128, c_Up, c_Up, c_Up};
    EXPECT_EQ(FloatIndices(Rig(lonely, lonely, 2, 2.0).Build()), std::vector<uint32_t>{1});
    EXPECT_EQ(FloatIndices(Rig(lonely, lonely, 3, 2.0).Build()), (std::vector<uint32_t>{1, 2}));

    // A limit of 0 takes no sample: no pair, no centre, and the RMSE of no pairs.
    Rig none(PlacedSurfels(c_Cluster), PlacedSurfels(c_Cluster), 0, 2.0);
    EXPECT_TRUE(none.Build().empty() && none.engine.vPairCentre == CbVector3d(0.0, 0.0, 0.0) &&
                none.engine.dRMSE == DBL_MAX && none.engine.uiNrDepthImagePairs == 1u);

    // Two floating surfels are too few even without a configured minimum; nothing else changes.
    Rig two(PlacedSurfels(c_Cluster), PlacedSurfels({{0, 0, 0}, {1, 0, 0}}), 10, 2.0);
    EXPECT_TRUE((two.engine.dRMSE = 5.0, two.Build().empty()) && two.engine.bSurfelCountTooLow &&
                two.engine.dRMSE == 5.0 && two.engine.uiNrDepthImagePairs == 0u);
    // Three fixed surfels are enough.
    Rig three(PlacedSurfels({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}), PlacedSurfels(c_Cluster), 10, 2.0);
    EXPECT_FALSE(three.Build().empty() || three.engine.bSurfelCountTooLow);
}

TEST(SurfelEnginePairs, TransformationMapsSamplesASingularOneThrowsAndBuffersAreReusedAndMoved)
{
    Rig rig(PlacedSurfels(c_Cluster), PlacedSurfels({{-5, 0, 2}, {-4, 0, 2}, {-5, 2, 2}, {15, 0, 2}}), 4, 2.0);
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
    flat.e[0] = 0.0, rig.engine.SetTransform(flat);
    EXPECT_THROW(rig.engine.BuildPairs(), XoExceptionNotInvertible);
    EXPECT_TRUE(rig.engine.vecPairs.empty() && rig.engine.dSumOfPairWeights == 0.0 &&
                rig.engine.vPairCentre == CbVector3d(0.0, 0.0, 0.0));

    // Repeated building reuses its buffers.
    Rig grid(PlacedSurfels(Grid(10, 10)), PlacedSurfels(Grid(10, 10)), 100, 2.5);
    std::vector<std::vector<const void*>> buffers;
    for (int build = 0; build < 6; ++build) // alternating between the radius and the k-nearest query
    {
        grid.config.SetQueryRadiusThreshold(build % 2 ? 1.0f : 100.0f);
        grid.Build();
        buffers.push_back(
            {grid.engine.vecPairs.data(), grid.engine.vecNeighbourIndices.data(), grid.engine.vecNearestResult.data()});
    }
    // Warmed up by both queries, the buffers stay where they are.
    EXPECT_EQ(std::vector<std::vector<const void*>>(buffers.begin() + 3, buffers.end()),
              std::vector<std::vector<const void*>>(3, buffers[2]));

    // A moved engine keeps its pairs and its models, and builds as many pairs again.
    ProbeEngine moved(std::move(grid.engine)), assigned;
    EXPECT_EQ((assigned = std::move(moved)).vecPairs.size(), 100u);
    EXPECT_EQ((assigned.BuildPairs(), assigned.vecPairs.size()), 100u);
}

// Remembered floating neighbourhoods may answer the next build only while they are the same: along a path
// of thresholds, query kinds, masks and models, each build gives what a fresh engine gives.
TEST(SurfelEnginePairs, RememberedNeighbourhoodsGiveWhatAFreshQueryGives)
{
    std::vector<CbVector3f> bumpy = Grid(12, 12), dense = Grid(12, 12);
    CSurfelCollectionMask mask(144);
    for (size_t i = 0; i < bumpy.size(); ++i)
        bumpy[i].z = 0.3f * std::sin(1.7f * static_cast<float>(i)), dense[i] = dense[i] * 0.6f, mask[i] = i % 5 == 0;
    const SSurfelData fixData = PlacedSurfels(Grid(12, 12));
    const SSurfelData floatData[] = {PlacedSurfels(bumpy), PlacedSurfels(bumpy), PlacedSurfels(dense)};
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
        walked.config.SetQueryRadiusThreshold(queryRadius), walked.engine.SetDistanceThreshold(threshold);
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
    SSurfelData rich = PlacedSurfels(c_Square), positionsOnly;
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
    onlyFix.SetConfiguration(config), onlyFix.SetModelFix(*plainModel, nullptr);
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
    engine.SetModelFix(*plainModel, nullptr), engine.SetModelFloat(*plainModel, nullptr);
    const AElementAccessBase* optional[] = {&engine.accQualityFix,  &engine.accQualityFloat, &engine.accWeightFix,
                                            &engine.accWeightFloat, &engine.accBoundaryFix,  &engine.accBoundaryFloat};
    for (const AElementAccessBase* access : optional)
        EXPECT_TRUE(access->pData == nullptr && access->uiElementSize == 0u);
}
