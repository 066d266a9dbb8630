#include "ScriptedEngine.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

using namespace EngineTest;

namespace
{
// An engine prepared for UpdateTransformation at the identity, with the error 1.0.
struct UpdateFixture : ::testing::Test
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    ScriptedEngine e;
    void SetUp() override
    {
        e.SetConfiguration(config);
        e.Init();
        e.dRMSE = 1.0;
        e.adjustCOGTransformsFromTransform();
        e.solution[0] = 1.0;  // t = (1, 0, 0)
        e.solution[5] = 0.01; // w = (0, 0, 0.01): only the affine matrix shows it
    }
    // Full steps (pure translations by step) fail, the affine test passes; a step of acceptAt passes.
    void ScriptStepSearch(double acceptAt)
    {
        e.rmse = [acceptAt](const CbMatrix4Rd& m) {
            if (m.e[1] != 0.0)
                return 0.5;
            return m.e[12] == acceptAt ? 0.5 : 2.0;
        };
    }
};
} // namespace

TEST_F(UpdateFixture, ImprovementTestAndAffineMatrix)
{
    EXPECT_TRUE(e.IsImprovement(1.0, 0.98));
    EXPECT_FALSE(e.IsImprovement(1.0, 0.99)); // not strictly below 0.99
    EXPECT_FALSE(e.IsImprovement(1.0, 1.5));
    EXPECT_FALSE(e.IsImprovement(0.0, 0.0));
    config.SetMinImprovement(1.5);
    EXPECT_TRUE(e.IsImprovement(1.0, 1.0));
    EXPECT_FALSE(e.IsImprovement(1.0, 1.0000001 + 0.5)); // worse is never better

    const CbVector3d t(0.5, -1, 2), w(0.1, 0.2, -0.3), p(3, -4, 5);
    const CbVector3d moved = e.GetAffineCorrectionMatrix(t, w).TransformPoint(p);
    const CbVector3d expected = p + w.Cross(p) + t;
    EXPECT_NEAR(moved.x, expected.x, 1e-15);
    EXPECT_NEAR(moved.y, expected.y, 1e-15);
    EXPECT_NEAR(moved.z, expected.z, 1e-15);
    EXPECT_EQ(e.GetAffineCorrectionMatrix(t, CbVector3d()), CbMatrix4Rd::Translation(0.5, -1, 2));
}

TEST_F(UpdateFixture, StepSearchHalvesDownToTheMinimumStepSize)
{
    ScriptStepSearch(-1.0);
    EXPECT_EQ(e.UpdateTransformation(), 1u);
    EXPECT_EQ(e.steps, (std::vector<double>{1.0, 0.5, 0.25, 0.125}));
    EXPECT_EQ(e.GetTransform(), CbMatrix4Rd::Identity());
    EXPECT_EQ(e.dRMSE, 1.0);

    // A pass that changes nothing would repeat unchanged: the remaining passes count without a change.
    config.SetMaxTransformationUpdates(5);
    e.steps.clear();
    EXPECT_EQ(e.UpdateTransformation(), 5u);
    EXPECT_EQ(e.GetTransform(), CbMatrix4Rd::Identity());
    config.SetMaxTransformationUpdates(-1);
    EXPECT_EQ(e.UpdateTransformation(), 4294967295u);

    // No reduced step at all when 0.5 is not above the minimum step size.
    config.SetMaxTransformationUpdates(1);
    config.SetMinStepSize(0.5);
    e.steps.clear();
    EXPECT_EQ(e.UpdateTransformation(), 1u);
    EXPECT_EQ(e.steps, std::vector<double>{1.0});

    // An accepted reduced step moves the centred transformation and the error.
    config.SetMinStepSize(0.1);
    ScriptStepSearch(0.25);
    e.steps.clear();
    EXPECT_EQ(e.UpdateTransformation(), 1u);
    EXPECT_EQ(e.steps, (std::vector<double>{1.0, 0.5, 0.25}));
    EXPECT_EQ(e.GetTransform(), CbMatrix4Rd::Translation(0.25, 0, 0));
    EXPECT_EQ(e.dRMSE, 0.5);
    EXPECT_EQ(e.dOffset, 0.25);
    EXPECT_EQ(e.dLastMovement, 0.25);
}

TEST_F(UpdateFixture, PassesRepeatAcceptedStepsAndStopOnAFailedAffineTest)
{
    // Every full step helps: each pass moves one more unit from the moved state.
    e.rmse = [](const CbMatrix4Rd& m) { return 1.0 / (1.0 + m.e[12]); };
    config.SetMaxTransformationUpdates(3);
    EXPECT_EQ(e.UpdateTransformation(), 3u);
    EXPECT_EQ(e.GetTransform(), CbMatrix4Rd::Translation(3, 0, 0));
    EXPECT_EQ(e.dRMSE, 0.25);
    EXPECT_EQ(e.dOffset, 3.0);
    EXPECT_EQ(e.dRelativeMovement, 3.0);

    // Offsets are measured against the transformation at entry, relative movement against none.
    e.rmse = [](const CbMatrix4Rd& m) { return m.e[12] == 4.0 ? 0.1 : 2.0; };
    config.SetMaxTransformationUpdates(1);
    EXPECT_EQ(e.UpdateTransformation(), 1u);
    EXPECT_EQ(e.dOffset, 1.0);
    EXPECT_EQ(e.dRelativeMovement, 4.0);

    // Neither the full step nor the affine motion helps: the pass is not counted.
    e.rmse = [](const CbMatrix4Rd&) { return 2.0; };
    e.steps.clear();
    EXPECT_EQ(e.UpdateTransformation(), 0u);
    EXPECT_EQ(e.steps, std::vector<double>{1.0});
    EXPECT_EQ(e.dRMSE, 0.1);
}

TEST_F(UpdateFixture, FailedSolveMeansNoMotion)
{
    e.solvable = false;
    e.rmse = [](const CbMatrix4Rd&) { return 0.5; }; // would accept any motion
    EXPECT_EQ(e.UpdateTransformation(), 1u);
    ASSERT_FALSE(e.stepTranslations.empty());
    EXPECT_EQ(e.stepTranslations[0], CbVector3d());
    EXPECT_EQ(e.GetTransform(), CbMatrix4Rd::Identity());
}

TEST_F(UpdateFixture, ZeroPassesAndTheLastMovementRule)
{
    config.SetMaxTransformationUpdates(0);
    e.mCOGTransform = CbMatrix4Rd::Translation(0, 2, 0);
    e.dLastMovement = 7.0;
    EXPECT_EQ(e.UpdateTransformation(), 0u);
    EXPECT_TRUE(e.steps.empty());
    EXPECT_EQ(e.buildMatrixCalls, 0);
    EXPECT_EQ(e.GetTransform(), CbMatrix4Rd::Translation(0, 2, 0));
    EXPECT_EQ(e.dOffset, 2.0);
    EXPECT_EQ(e.dLastMovement, 2.0);

    for (double offset : {0.0, static_cast<double>(FLT_MAX)})
    {
        e.offset = [offset](const CbMatrix4Rd&) { return offset; };
        e.UpdateTransformation();
        EXPECT_EQ(e.dOffset, offset);
        EXPECT_EQ(e.dLastMovement, 2.0);
    }
    e.offset = [](const CbMatrix4Rd&) { return std::nan(""); };
    e.UpdateTransformation();
    EXPECT_TRUE(std::isnan(e.dLastMovement));

    // A singular transformation at entry throws after the passes, before mTransform is rebuilt.
    CbMatrix4Rd singular = CbMatrix4Rd::Identity();
    singular.e[10] = 0.0;
    e.mTransform = singular;
    e.dOffset = 3.0;
    EXPECT_THROW(e.UpdateTransformation(), XoExceptionNotInvertible);
    EXPECT_EQ(e.GetTransform(), singular);
    EXPECT_EQ(e.dOffset, 3.0);
}
