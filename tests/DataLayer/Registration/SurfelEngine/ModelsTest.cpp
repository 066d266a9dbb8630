#include "SurfelEngineSupport.h"

#include "velm/Frame/VelmException.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

using namespace SurfelEngineTest;

namespace
{
std::vector<CbVector3f> Square()
{
    return {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0.5f, 0.5f, 0.2f}};
}

std::wstring MessageOf(const VelmException& e)
{
    return e.GetMessageText().GetString();
}

VelmTorCorrICPPointConfig PairConfig()
{
    VelmTorCorrICPPointConfig c;
    c.SetBoundingBoxBlowup(0.5f);
    c.SetNumberOfPairs(100);
    c.SetInitialDistanceThreshold(1.5f);
    c.SetQueryRadiusThreshold(100.0f);
    return c;
}
} // namespace

TEST(SurfelEngineModels, SettingAModelIsAllOrNothing)
{
    Base::SSurfelData full = PlacedSurfels(Square());
    full.vecQuality.assign(5, 200);
    full.vecBoundaryFlags.assign(5, 0);
    auto first = Collection(full);

    Base::SSurfelData positionsOnly;
    positionsOnly.vecPositions = {{5, 5, 5}, {6, 5, 5}, {5, 6, 5}, {6, 6, 7}};
    auto noNormals = Collection(positionsOnly);

    ProbeEngine engine;
    engine.SetModelFix(*first, nullptr);
    engine.SetModelFloat(*first, nullptr);
    const Base::CCovarianceEllipsoid ellipsoid = engine.ceFloat;
    const uint8_t* positions = engine.accPositionFix.pData;
    ASSERT_NE(positions, nullptr);
    EXPECT_TRUE(engine.accQualityFix.IsValid());
    EXPECT_TRUE(engine.accBoundaryFloat.IsValid());

    for (int side = 0; side < 2; ++side)
    {
        try
        {
            if (side == 0)
                engine.SetModelFix(*noNormals, nullptr);
            else
                engine.SetModelFloat(*noNormals, nullptr);
            ADD_FAILURE() << "a model without normals was accepted";
        }
        catch (const VelmException& e)
        {
            EXPECT_EQ(MessageOf(e), L"Nicht verfuegbare ElementAccessor-Definition angefordert.");
        }
    }
    // Nothing of the rejected model reached the engine.
    EXPECT_EQ(engine.pModelFix, first.get());
    EXPECT_EQ(engine.pModelFloat, first.get());
    EXPECT_EQ(engine.accPositionFix.pData, positions);
    EXPECT_EQ(engine.accPositionFloat.pData, positions);
    EXPECT_TRUE(engine.accQualityFix.IsValid());
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(engine.ceFloat[k], ellipsoid[k]);

    // A mask that does not cover the model is refused the same way.
    Base::CSurfelCollectionMask shortMask(4);
    EXPECT_THROW(engine.SetModelFix(*first, &shortMask), VelmException);
    EXPECT_EQ(engine.pMaskFix, nullptr);
    Base::CSurfelCollectionMask mask(5);
    engine.SetModelFix(*first, &mask);
    EXPECT_EQ(engine.pMaskFix, &mask);
}

TEST(SurfelEngineModels, OptionalElementsFollowTheCurrentModel)
{
    Base::SSurfelData plain = PlacedSurfels(Square());
    Base::SSurfelData rich = PlacedSurfels(Square());
    rich.vecQuality.assign(5, 255);
    rich.vecWeight.assign(5, 0.5f);
    rich.vecBoundaryFlags.assign(5, 1);
    auto plainModel = Collection(plain);
    auto richModel = Collection(rich);

    ProbeEngine engine;
    engine.SetModelFix(*plainModel, nullptr);
    engine.SetModelFloat(*plainModel, nullptr);
    EXPECT_FALSE(engine.accQualityFix.IsValid());

    engine.SetModelFix(*richModel, nullptr);
    engine.SetModelFloat(*richModel, nullptr);
    EXPECT_TRUE(engine.accQualityFix.IsValid());
    EXPECT_TRUE(engine.accWeightFloat.IsValid());
    EXPECT_TRUE(engine.accBoundaryFix.IsValid());
    EXPECT_EQ(engine.accWeightFloat[3], 0.5f);

    // Back to a model without them: none of the previous model's optional elements survives.
    engine.SetModelFix(*plainModel, nullptr);
    engine.SetModelFloat(*plainModel, nullptr);
    const Base::AElementAccessBase* optional[] = {&engine.accQualityFix, &engine.accQualityFloat,
                                                  &engine.accWeightFix, &engine.accWeightFloat,
                                                  &engine.accBoundaryFix, &engine.accBoundaryFloat};
    for (const Base::AElementAccessBase* access : optional)
    {
        EXPECT_EQ(access->pData, nullptr);
        EXPECT_EQ(access->uiStride, 0u);
        EXPECT_EQ(access->uiElementSize, 0u);
    }
    // The floating model's ellipsoid is taken over; the fixed model's is not.
    auto shifted = Collection(PlacedSurfels({{10, 0, 0}, {11, 0, 0}, {10, 1, 0}, {11, 1, 1}}));
    const Base::CCovarianceEllipsoid before = engine.ceFloat;
    engine.SetModelFix(*shifted, nullptr);
    EXPECT_EQ(engine.ceFloat[0], before[0]);
    engine.SetModelFloat(*shifted, nullptr);
    EXPECT_EQ(engine.ceFloat.GetCentre().x, shifted->GetDerivedData()->GetCovarianceEllipsoid().GetCentre().x);
}

TEST(SurfelEngineModels, CopiesPairAlikeAndMovesTakeOverThePairs)
{
    auto model = Collection(PlacedSurfels(Square()));
    const VelmTorCorrICPPointConfig config = PairConfig();
    ProbeEngine source;
    source.SetConfiguration(config);
    source.SetModelFix(*model, nullptr);
    source.SetModelFloat(*model, nullptr);
    source.SetDistanceThreshold(1.5);
    source.BuildPairs();
    ASSERT_EQ(source.vecPairs.size(), 5u);

    // A copy refers to the same collections and builds the same pairs.
    ProbeEngine copy(source);
    EXPECT_EQ(copy.pModelFix, model.get());
    EXPECT_EQ(copy.vecPairs.size(), 5u);
    copy.vecPairs.clear();
    copy.BuildPairs();
    ASSERT_EQ(copy.vecPairs.size(), source.vecPairs.size());
    for (size_t k = 0; k < copy.vecPairs.size(); ++k)
    {
        EXPECT_EQ(copy.vecPairs[k].uiIndexFloat, source.vecPairs[k].uiIndexFloat);
        EXPECT_EQ(copy.vecPairs[k].dWeight, source.vecPairs[k].dWeight);
        EXPECT_EQ(copy.vecPairs[k].vCentroidFix, source.vecPairs[k].vCentroidFix);
    }

    ProbeEngine moved(std::move(copy));
    EXPECT_TRUE(copy.vecPairs.empty());
    EXPECT_TRUE(copy.vecNeighbourIndices.empty());
    EXPECT_EQ(copy.pModelFix, model.get()); // the pointers are copied, not taken
    EXPECT_EQ(moved.vecPairs.size(), 5u);

    ProbeEngine assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(moved.vecPairs.empty());
    EXPECT_EQ(assigned.vecPairs.size(), 5u);
    EXPECT_EQ(assigned.pModelFloat, model.get());
    assigned.BuildPairs();
    EXPECT_EQ(assigned.vecPairs.size(), 5u);

    ProbeEngine copyAssigned;
    copyAssigned = source;
    EXPECT_EQ(copyAssigned.vecPairs.size(), 5u);
    EXPECT_EQ(source.vecPairs.size(), 5u);
}

TEST(SurfelEngineModels, RunningWithoutBothModelsThrows)
{
    auto model = Collection(PlacedSurfels(Square()));
    const VelmTorCorrICPPointConfig config = SyntheticScanConfig();

    ProbeEngine none;
    none.SetConfiguration(config);
    try
    {
        none.CalculateICPTransform();
        ADD_FAILURE() << "ran without models";
    }
    catch (const VelmException& e)
    {
        EXPECT_EQ(MessageOf(e), L"The engine has no fixed and no floating model; call SetModelFix and "
                                L"SetModelFloat first.");
    }

    ProbeEngine onlyFix;
    onlyFix.SetConfiguration(config);
    onlyFix.SetModelFix(*model, nullptr);
    try
    {
        onlyFix.BuildPairs();
        ADD_FAILURE() << "built pairs without a floating model";
    }
    catch (const VelmException& e)
    {
        EXPECT_EQ(MessageOf(e), L"The engine has no floating model; call SetModelFix and SetModelFloat first.");
    }
    EXPECT_THROW(onlyFix.ComputePairWeightsQuotient(), VelmException);
    EXPECT_THROW(onlyFix.DoICPIteration(), VelmException);

    ProbeEngine onlyFloat;
    onlyFloat.SetConfiguration(config);
    onlyFloat.SetModelFloat(*model, nullptr);
    EXPECT_THROW(onlyFloat.CalculateICPTransform(), VelmException);
}
