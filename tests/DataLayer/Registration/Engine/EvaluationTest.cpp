#include "ScriptedEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace EngineTest;

namespace
{
using Result = VelmTorCorrICPRegistrationResult;

// An engine after a registration that passes every test: its overlap box has extent 2, so the
// rotation part of the normal matrix is not scaled, and the matrix has condition number 2.
struct EvaluationFixture : ::testing::Test
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    ScriptedEngine e;
    void SetUp() override
    {
        config = PassingConfig();
        e = ScriptedEngine();
        e.SetConfiguration(config);
        e.Init();
        e.overlapBox = XoBoundingBox3D(CbVector3f(0, 0, 0), CbVector3f(2, 0, 0));
        SetDiagonal({2, 1, 1, 1, 1, 1});
        e.uiIteration = 10;
        e.dOffset = 0.001;
        e.dSumOfPairWeights = 5.0;
        e.dRMSE = 0.5;
    }
    void SetDiagonal(const std::vector<double>& d)
    {
        for (int i = 0; i < 6; ++i)
            e.errorSystem.aNormalMatrix[i * (i + 1) / 2 + i] = d[i];
    }
    std::wstring Evaluate()
    {
        e.SetResultValues();
        return e.GetResult()->GetFailureCause().Str();
    }
    Result::ERegistrationState State() { return e.GetResult()->GetState(); }
};
} // namespace

TEST_F(EvaluationFixture, PassingRegistrationHasNoCause)
{
    EXPECT_EQ(Evaluate(), L"");
    EXPECT_EQ(State(), Result::Success);
    EXPECT_EQ(e.quotientCalls, 1);
    EXPECT_EQ(e.GetResult()->GetDegreeOfFreedomDescriptionFix().fScale, 1.0f);
}

TEST_F(EvaluationFixture, EveryFailedTestInTableOrder)
{
    e.uiIteration = 50;
    e.dOffset = 0.5;
    e.dSumOfPairWeights = 0.5;
    SetDiagonal({2000, 1, 1, 1, 1, 1});
    e.dRelativeMovement = 150.0;
    e.overlapQuotient = 0.25;
    e.pairWeightsQuotient = 0.5;
    e.dRMSE = 3.0;
    EXPECT_EQ(Evaluate(), L" uiIterations=50 (50) fOffset=0.500000 (0.010000) fConvergenceSumOfPairWeights=0.500000 "
                          L"(1.000000) conditionNumber=2000.000000 (1000.000000) fMaxRelativeMovement=150.000000 "
                          L"(100.000000) fOverlapQuotient=0.250000 (0.500000) fPairWeightsQuotient=0.500000 "
                          L"(0.500000) fMinError=3.000000 (2.000000)");
    EXPECT_EQ(State(), Result::NotConverged);

    // Double limits print with the digits of their single-precision value; the test uses the full one.
    SetUp();
    config.SetOffsetThreshold(16777217.0);
    e.dOffset = 16777217.0;
    EXPECT_EQ(Evaluate(), L" fOffset=16777217.000000 (16777216.000000)");
    EXPECT_EQ(State(), Result::NotConverged);
}

TEST_F(EvaluationFixture, TheFirstFailedRuleNamesTheState)
{
    // The iteration limit alone: "NotConverged" even with a small offset.
    e.uiIteration = 50;
    EXPECT_EQ(Evaluate(), L" uiIterations=50 (50)");
    EXPECT_EQ(State(), Result::NotConverged);

    // Too little pair weight before a poor condition: both messages, pair weights first.
    SetUp();
    e.dSumOfPairWeights = 1.0;
    SetDiagonal({5000, 1, 1, 1, 1, 1});
    EXPECT_EQ(Evaluate(), L" fConvergenceSumOfPairWeights=1.000000 (1.000000) conditionNumber=5000.000000 (1000.000000)");
    EXPECT_EQ(State(), Result::OverlapQualityBad);

    SetUp();
    e.dSumOfPairWeights = std::nan("");
    Evaluate();
    EXPECT_EQ(State(), Result::OverlapQualityBad);

    SetUp();
    SetDiagonal({5000, 1, 1, 1, 1, 1});
    Evaluate();
    EXPECT_EQ(State(), Result::TooManyDOF);

    SetUp();
    e.dRelativeMovement = 100.5;
    EXPECT_EQ(Evaluate(), L" fMaxRelativeMovement=100.500000 (100.000000)");
    EXPECT_EQ(State(), Result::MovingTooFast);

    // The remaining tests fail without a state of their own.
    SetUp();
    e.dRMSE = 2.0;
    EXPECT_EQ(Evaluate(), L" fMinError=2.000000 (2.000000)");
    EXPECT_EQ(State(), Result::Failed);
    e.pairBoxesOverlap = false;
    e.bBoundingBoxesOverlap = false;
    Evaluate();
    EXPECT_EQ(State(), Result::NoOverlap);
}

TEST_F(EvaluationFixture, ConditionNumberEdgeCases)
{
    // Smallest eigenvalue 0: infinite condition number, too many degrees of freedom.
    SetDiagonal({1, 1, 1, 1, 1, 0});
    Evaluate();
    EXPECT_EQ(State(), Result::TooManyDOF);
    EXPECT_EQ(e.GetResult()->GetFailureCause().Str().rfind(L" conditionNumber=", 0), 0u);

    // Negative smallest eigenvalue: a negative condition number never fails.
    SetUp();
    SetDiagonal({1, 1, 1, 1, 1, -1e-3});
    EXPECT_EQ(Evaluate(), L"");
    EXPECT_EQ(State(), Result::Success);

    // Two zero eigenvalues: 0/0 never fails either.
    SetUp();
    SetDiagonal({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(Evaluate(), L"");
    EXPECT_EQ(State(), Result::Success);
}

TEST_F(EvaluationFixture, DegreeOfFreedomDescriptionIsScaledAndNewEachTime)
{
    // Extent sqrt(3): the rotation rows and columns are scaled by s = 2 / sqrt(3).
    e.overlapBox = XoBoundingBox3D(CbVector3f(0, 0, 0), CbVector3f(1, 1, 1));
    const double A[6][6] = {{4, 0.5, 0, 0.25, 0, 0}, {0.5, 3, 0, 0, 0, 0.5}, {0, 0, 2, 0, 0, 0},
                            {0.25, 0, 0, 1.5, 0.1, 0}, {0, 0, 0, 0.1, 1, 0}, {0, 0.5, 0, 0, 0, 0.75}};
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j <= i; ++j)
            e.errorSystem.aNormalMatrix[i * (i + 1) / 2 + j] = A[i][j];
    e.vPairCentre = CbVector3d(1.1, 2.2, 3.3);
    e.SetResultValues();
    const auto first = e.GetDOFDescriptionFix();
    const float s = 2.0f / std::sqrt(3.0f);
    EXPECT_FLOAT_EQ(first->fScale, s);
    EXPECT_EQ(first->vCentre, CbVector3f(1.1f, 2.2f, 3.3f));
    for (int k = 1; k < 6; ++k)
        EXPECT_GE(first->aEigenValues[k - 1], first->aEigenValues[k]);
    // The eigenpairs rebuild D A D with D = diag(1, 1, 1, s, s, s), to the accuracy of the
    // single-precision decomposition and its relative stopping tolerance.
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j)
        {
            double sum = 0.0;
            for (int k = 0; k < 6; ++k)
                sum += first->aEigenValues[k] * first->aEigenVectors[k][i] * first->aEigenVectors[k][j];
            const double expected = A[i][j] * (i >= 3 ? s : 1.0) * (j >= 3 ? s : 1.0);
            EXPECT_NEAR(sum, expected, 5e-3) << i << "," << j;
        }

    // A later evaluation creates a new record; the earlier result keeps the one it was judged by.
    const auto firstResult = e.GetResult();
    const float firstLargest = first->aEigenValues[0];
    e.errorSystem.aNormalMatrix[0] = 40.0;
    e.SetResultValues();
    EXPECT_NE(e.GetDOFDescriptionFix(), first);
    EXPECT_EQ(&firstResult->GetDegreeOfFreedomDescriptionFix(), e.GetDOFDescriptionFix().get());
    EXPECT_EQ(first->aEigenValues[0], firstLargest);
    e.Init();
    e.SetResultValues();
    EXPECT_EQ(first->aEigenValues[0], firstLargest);
    EXPECT_NE(&firstResult->GetDegreeOfFreedomDescriptionFix(), &e.GetResult()->GetDegreeOfFreedomDescriptionFix());
}
