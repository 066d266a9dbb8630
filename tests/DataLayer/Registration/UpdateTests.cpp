#include "DataLayer/EngineRigs.h"

using namespace EngineTest;

namespace
{
// At the identity with error 1.0 and solution t = (1, 0, 0), w = (0, 0, 0.01) (seen in the affine matrix).
struct UpdateTest : EngineFixture
{
    UpdateTest()
    {
        e.Init();
        e.adjustCOGTransformsFromTransform();
        e.dRMSE = 1.0, e.solution[0] = 1.0, e.solution[5] = 0.01;
    }
    // Full steps fail, the affine test passes, and only a step of acceptAt improves.
    void ScriptStepSearch(double acceptAt)
    {
        e.rmse = [acceptAt](const CbMatrix4Rd& m) { return m.e[1] != 0.0 || m.e[12] == acceptAt ? 0.5 : 2.0; };
        e.steps.clear();
    }
    // One update and what it observably leaves: passes, steps tried, transformation, error.
    auto Update()
    {
        const unsigned passes = e.UpdateTransformation();
        return std::tuple(passes, e.steps, e.GetTransform(), e.dRMSE);
    }
};
using Steps = std::vector<double>;
} // namespace

TEST_F(UpdateTest, StepSearchHalvesDownToTheMinimumStepSizeAndTheImprovementTest)
{
    const CbMatrix4Rd I = CbMatrix4Rd::Identity();
    ScriptStepSearch(-1.0);
    EXPECT_EQ(Update(), std::tuple(1u, Steps{1.0, 0.5, 0.25, 0.125}, I, 1.0));
    // A pass that changes nothing is counted, up to the limit (compared unsigned).
    for (int limit : {5, -1})
        EXPECT_EQ((config.SetMaxTransformationUpdates(limit), e.UpdateTransformation()), unsigned(limit));
    EXPECT_EQ(e.GetTransform(), I);

    // No reduced step when 0.5 is not above the minimum step size.
    config.SetMaxTransformationUpdates(1), config.SetMinStepSize(0.5);
    ScriptStepSearch(-1.0);
    EXPECT_EQ(Update(), std::tuple(1u, Steps{1.0}, I, 1.0));

    // An accepted reduced step moves the transformation and the error.
    config.SetMinStepSize(0.1);
    ScriptStepSearch(0.25);
    EXPECT_EQ(Update(), std::tuple(1u, Steps{1.0, 0.5, 0.25}, CbMatrix4Rd::Translation(0.25, 0, 0), 0.5));
    EXPECT_TRUE(e.dOffset == 0.25 && e.dLastMovement == 0.25);

    // Strictly below 0.99 of the error; with a factor above 1, equal passes but worse never does.
    EXPECT_TRUE(e.IsImprovement(1.0, 0.98) && !e.IsImprovement(0.0, 0.0) && !e.IsImprovement(1.0, 0.99));
    config.SetMinImprovement(1.5);
    EXPECT_TRUE(e.IsImprovement(1.0, 1.0) && !e.IsImprovement(1.0, 1.0000001));
    const CbVector3d t(0.5, -1, 2), w(0.1, 0.2, -0.3), p(3, -4, 5);
    ExpectNear(e.GetAffineCorrectionMatrix(t, w).TransformPoint(p), p + w.Cross(p) + t, 1e-15);
}

TEST_F(UpdateTest, PassesRepeatAcceptedStepsAndStopOnAFailedAffineTestOrSolve)
{
    e.rmse = [](const CbMatrix4Rd& m) { return 1.0 / (1.0 + m.e[12]); }, config.SetMaxTransformationUpdates(3);
    EXPECT_EQ(Update(), std::tuple(3u, Steps{1.0, 1.0, 1.0}, CbMatrix4Rd::Translation(3, 0, 0), 0.25));
    EXPECT_EQ(e.dOffset, 3.0);

    // The offset is measured against the transformation at entry, the relative movement against none.
    e.rmse = [](const CbMatrix4Rd& m) { return m.e[12] == 4.0 ? 0.1 : 2.0; }, config.SetMaxTransformationUpdates(1);
    EXPECT_TRUE(e.UpdateTransformation() == 1u && e.dOffset == 1.0 && e.dRelativeMovement == 4.0);

    // Neither the full step nor the affine motion helps: the pass is not counted.
    e.rmse = [](const CbMatrix4Rd&) { return 2.0; }, e.steps.clear();
    EXPECT_EQ(Update(), std::tuple(0u, Steps{1.0}, CbMatrix4Rd::Translation(4, 0, 0), 0.1));

    // A failed solve means no motion, even when any motion would be accepted.
    e.solvable = false, e.rmse = [](const CbMatrix4Rd&) { return 0.05; };
    EXPECT_EQ((e.UpdateTransformation(), e.GetTransform()), CbMatrix4Rd::Translation(4, 0, 0));

    // The solve: targets moved by p + t + w x p give (t, w) only if the reset left nothing of the first constraint.
    VelmTorPointToPlaneErrorSystemMatrix s;
    s.AddPointToPlaneConstraint({1, 2, 3}, {5, -7, 1}, {0, 0, 1}, 0.5);
    s.Reset();
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const CbVector3d t(0.02, -0.01, 0.03), w(0.001, -0.002, 0.0015);
    for (int i = 0; i < 30; ++i)
    {
        const CbVector3d p(10 * u(rng), 10 * u(rng), 10 * u(rng)), n(u(rng), u(rng), u(rng));
        s.AddPointToPlaneConstraint(p, p + t + w.Cross(p), n * (1.0 / n.Length()), 0.5 + 0.1 * i);
    }
    CbVector3d ts, ws;
    ASSERT_TRUE(s.Solve(ts, ws));
    ExpectNear(ts, t, 1e-12);
    ExpectNear(ws, w, 1e-12);

    // Systems that are not positive definite (a zero and a NaN pivot) are refused and nothing is written.
    VelmTorPointToPlaneErrorSystemMatrix empty, nan;
    nan.aNormalMatrix[0] = std::nan("");
    for (const auto* system : {&empty, &nan})
        EXPECT_TRUE((ts = ws = CbVector3d(7, 7, 7), !system->Solve(ts, ws)) && ts == CbVector3d(7, 7, 7) &&
                    ws == CbVector3d(7, 7, 7));
}

TEST_F(UpdateTest, ZeroPassesTheLastMovementRuleAndASingularStart)
{
    config.SetMaxTransformationUpdates(0), e.mCOGTransform = CbMatrix4Rd::Translation(0, 2, 0), e.dLastMovement = 7.0;
    EXPECT_EQ(Update(), std::tuple(0u, Steps{}, CbMatrix4Rd::Translation(0, 2, 0), 1.0));
    EXPECT_TRUE(e.buildMatrixCalls == 0 && e.dOffset == 2.0 && e.dLastMovement == 2.0);
    // Offsets of 0 and of the largest float leave the last movement alone; NaN is stored.
    for (double offset : {0.0, static_cast<double>(FLT_MAX), std::nan("")})
    {
        e.offset = [offset](const CbMatrix4Rd&) { return offset; }, e.UpdateTransformation();
        EXPECT_TRUE(std::isnan(offset) ? std::isnan(e.dLastMovement) : e.dLastMovement == 2.0) << offset;
    }

    // A singular transformation at entry throws after the passes, before mTransform is rebuilt.
    CbMatrix4Rd singular = CbMatrix4Rd::Identity();
    singular.e[10] = 0.0, e.mTransform = singular, e.dOffset = 3.0;
    EXPECT_THROW(e.UpdateTransformation(), XoExceptionNotInvertible);
    EXPECT_TRUE(e.GetTransform() == singular && e.dOffset == 3.0);
}
