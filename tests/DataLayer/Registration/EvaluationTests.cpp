#include "DataLayer/EngineRigs.h"

using namespace EngineTest;

namespace
{
// A registration passing every test: overlap extent 2 (no rotation scaling), condition number 2.
struct Evaluation
{
    VelmTorCorrICPPointConfig config = PassingConfig();
    ScriptedEngine e;
    Evaluation()
    {
        e.SetConfiguration(config);
        e.Init();
        e.overlapBox = XoBoundingBox3D(CbVector3f(0, 0, 0), CbVector3f(2, 0, 0));
        Diag(2), e.uiIteration = 10, e.dOffset = 0.001, e.dSumOfPairWeights = 5.0, e.dRMSE = 0.5;
    }
    void Diag(double first, double last = 1, double middle = 1) // the diagonal (first, middle x 4, last)
    {
        for (int i = 0; i < 6; ++i)
            e.errorSystem.aNormalMatrix[i * (i + 1) / 2 + i] = i == 0 ? first : i == 5 ? last : middle;
    }
};
using Case = std::tuple<std::function<void(Evaluation&)>, const wchar_t*, Result::ERegistrationState>;
} // namespace

TEST(Evaluation, FailureCausesInTableOrderTheFirstFailedRuleNamesTheStateAndTheDescriptionIsScaledAndNew)
{
    const Case cases[] = {
        {[](Evaluation&) {}, L"", Result::Success},
        {[](Evaluation& t) {
             t.e.uiIteration = 50, t.e.dOffset = 0.5, t.e.dSumOfPairWeights = 0.5, t.e.dRelativeMovement = 150.0;
             t.e.overlapQuotient = 0.25, t.e.pairWeightsQuotient = 0.5, t.e.dRMSE = 3.0, t.Diag(2000);
         },
         L" uiIterations=50 (50) fOffset=0.500000 (0.010000) fConvergenceSumOfPairWeights=0.500000 (1.000000) "
         L"conditionNumber=2000.000000 (1000.000000) fMaxRelativeMovement=150.000000 (100.000000) "
         L"fOverlapQuotient=0.250000 (0.500000) fPairWeightsQuotient=0.500000 (0.500000) "
         L"fMinError=3.000000 (2.000000)",
         Result::NotConverged},
        // Double limits print the digits of their single-precision value; the test uses the full one.
        {[](Evaluation& t) { t.config.SetOffsetThreshold(16777217.0), t.e.dOffset = 16777217.0; },
         L" fOffset=16777217.000000 (16777216.000000)", Result::NotConverged},
        {[](Evaluation& t) { t.e.uiIteration = 50; }, L" uiIterations=50 (50)", Result::NotConverged},
        {[](Evaluation& t) { t.e.dSumOfPairWeights = 1.0, t.Diag(5000); },
         L" fConvergenceSumOfPairWeights=1.000000 (1.000000) conditionNumber=5000.000000 (1000.000000)",
         Result::OverlapQualityBad},
        {[](Evaluation& t) { t.e.dSumOfPairWeights = std::nan(""); }, L"", Result::OverlapQualityBad},
        {[](Evaluation& t) { t.Diag(1, 0); }, L" conditionNumber=inf (1000.000000)", Result::TooManyDOF},
        // A negative or a NaN (0/0) condition number never fails.
        {[](Evaluation& t) { t.Diag(1, -1e-3); }, L"", Result::Success},
        {[](Evaluation& t) { t.Diag(0, 0, 0); }, L"", Result::Success},
        {[](Evaluation& t) { t.e.dRelativeMovement = 100.5; }, L" fMaxRelativeMovement=100.500000 (100.000000)",
         Result::MovingTooFast},
        // The remaining tests fail without a state of their own; a NaN quotient fails without a message.
        {[](Evaluation& t) { t.e.overlapQuotient = 0.5; }, L" fOverlapQuotient=0.500000 (0.500000)", Result::Failed},
        {[](Evaluation& t) { t.e.pairWeightsQuotient = std::nan(""); }, L"", Result::Failed},
        {[](Evaluation& t) { t.e.dRMSE = 2.0, t.e.bBoundingBoxesOverlap = false; }, L" fMinError=2.000000 (2.000000)",
         Result::NoOverlap},
    };
    for (const auto& [change, cause, state] : cases)
    {
        Evaluation t; // a failure shows the expected cause and state, which name the case
        change(t);
        t.e.SetResultValues();
        const auto r = t.e.GetResult();
        EXPECT_EQ(std::pair(r->GetFailureCause().Str(), r->GetState()), std::pair(std::wstring(cause), state));
    }

    // The degree-of-freedom description is scaled and new each time.
    Evaluation t;
    ScriptedEngine& e = t.e;
    // Extent sqrt(3): the rotation rows and columns are scaled by s = 2 / sqrt(3).
    e.overlapBox = XoBoundingBox3D(CbVector3f(0, 0, 0), CbVector3f(1, 1, 1));
    using M6 = Eigen::Matrix<double, 6, 6, Eigen::RowMajor>;
    const double A[6][6] = {{4, 0.5, 0, 0.25, 0, 0},   {0.5, 3, 0, 0, 0, 0.5}, {0, 0, 2, 0, 0, 0},
                            {0.25, 0, 0, 1.5, 0.1, 0}, {0, 0, 0, 0.1, 1, 0},   {0, 0.5, 0, 0, 0, 0.75}};
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j <= i; ++j)
            e.errorSystem.aNormalMatrix[i * (i + 1) / 2 + j] = A[i][j];
    e.SetResultValues();
    const auto first = e.GetDOFDescriptionFix();
    const float s = 2.0f / std::sqrt(3.0f), firstLargest = first->aEigenValues[0];
    EXPECT_FLOAT_EQ(first->fScale, s);
    EXPECT_TRUE(std::is_sorted(first->aEigenValues, first->aEigenValues + 6, std::greater<float>()));
    // The eigenpairs (rows of V) rebuild D A D with D = diag(1, 1, 1, s, s, s), to single-precision accuracy.
    const M6 V =
        Eigen::Map<const Eigen::Matrix<float, 6, 6, Eigen::RowMajor>>(&first->aEigenVectors[0][0]).cast<double>();
    const Eigen::Matrix<double, 6, 1> d{{1, 1, 1, s, s, s}},
        l = Eigen::Map<const Eigen::Matrix<float, 6, 1>>(first->aEigenValues).cast<double>();
    const M6 rebuilt = V.transpose() * l.asDiagonal() * V,
             scaled = d.asDiagonal() * Eigen::Map<const M6>(&A[0][0]) * d.asDiagonal();
    EXPECT_LT((rebuilt - scaled).cwiseAbs().maxCoeff(), 5e-3) << rebuilt << "\n" << scaled;

    // A later evaluation creates a new description and leaves the earlier one as it was.
    const auto firstResult = e.GetResult();
    e.errorSystem.aNormalMatrix[0] = 40.0;
    e.SetResultValues();
    EXPECT_TRUE(e.GetDOFDescriptionFix() != first && first->aEigenValues[0] == firstLargest);
    EXPECT_EQ(&firstResult->GetDegreeOfFreedomDescriptionFix(), e.GetDOFDescriptionFix().get());
}
