#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

using DataLayer::VelmTorCorrICPPointConfig;

namespace
{
std::wstring Dump(const VelmTorCorrICPPointConfig& c)
{
    return c.ToString().GetString();
}

// Every field gets a value that shows in the dump whether it went to the right line, and most of them
// a value that only prints as expected after the documented conversion (float widening, rounding of
// doubles to single precision, unsigned printed as signed).
VelmTorCorrICPPointConfig AwkwardConfig()
{
    VelmTorCorrICPPointConfig c;
    c.SetBoundingBoxBlowup(1.5f);
    c.SetMaxNumberDepthImagePairs(-7);
    c.SetNumberOfPairs(3000000000u);
    c.SetInitialDistanceThreshold(123456.789f);
    c.SetAdaptDistanceThreshold(1);
    c.SetDistanceThresholdAdaptionFactor(2.5f);
    c.SetSamplingDensity(0.75f);
    c.SetQueryRadiusThreshold(3.25f);
    c.SetConvergedQueryRadius(-1.0f);
    c.SetSmoothDistanceThresholding(true);
    c.SetMaxTransformationUpdates(10);
    c.SetMinImprovement(0.999);
    c.SetMinStepSize(1e-3);
    c.SetMaxIterations(50);
    c.SetOffsetThreshold(16777217.0);
    c.SetMinimumPairWeights(-0.0f);
    c.SetMaxDOFConditionNumber(1000.0f);
    c.SetMaxRelativeMovement(std::numeric_limits<float>::quiet_NaN());
    c.SetNrTestSamples(INT_MIN);
    c.SetOverlapRange(std::numeric_limits<float>::infinity());
    c.SetTestRange(0.125f);
    c.SetCosNormalThreshold(0.8);
    c.SetCurvatureThreshold(1e300);
    c.SetMinimumOverlapQuotient(0.3);
    c.SetMinimumWeightsQuotient(123456.789);
    c.SetDefaultResClassErrorThreshold(0.05);
    c.SetMinimumAbsOverlap(1e-7);
    c.SetMinimumNumberSurfelsFix(4294967295u);
    c.SetMinimumNumberSurfelsFloat(2147483647u);
    return c;
}

const wchar_t* const kAwkwardDump = L"fBoundingBoxBlowup = 1.500000,\n"
                                    L"iMaxNumberDepthImagePairs = -7,\n"
                                    L"iNumberOfPairs = -1294967296,\n"
                                    L"fInitialDistanceThreshold = 123456.789062,\n"
                                    L"iAdaptDistanceThreshold = 1,\n"
                                    L"fDistanceThresholdAdaptionFactor = 2.500000,\n"
                                    L"fSamplingDensity = 0.750000,\n"
                                    L"fQueryRadiusThreshold = 3.250000,\n"
                                    L"fConvergedQueryRadius = -1.000000,\n"
                                    L"bSmoothDistanceThresholding = 1,\n"
                                    L"uiMaxTransformationUpdates = 10,\n"
                                    L"dMinImprovement = 0.999000,\n"
                                    L"dMinStepSize = 0.001000,\n"
                                    L"iMaxIterations = 50,\n"
                                    L"dOffsetThreshold = 16777216.000000,\n"
                                    L"fMinimumPairWeights = -0.000000,\n"
                                    L"fMaxDOFConditionNumber = 1000.000000,\n"
                                    L"fMaxRelativeMovement = nan,\n"
                                    L"iNrTestSamples = -2147483648,\n"
                                    L"fOverlapRange = inf,\n"
                                    L"fTestRange = 0.125000,\n"
                                    L"dCosNormalThreshold = 0.800000,\n"
                                    L"dCurvatureThreshold = inf,\n"
                                    L"dMinimumOverlapQuotient = 0.300000,\n"
                                    L"dMinimumWeightsQuotient = 123456.789062,\n"
                                    L"defaultResClass_errorThreshold = 0.050000,\n"
                                    L"minimumAbsOverlap = 0.000000,\n"
                                    L"minScanQualityFix = -1\n"
                                    L"minScanQualityFloat = 2147483647\n";
} // namespace

TEST(VelmTorCorrICPPointConfig, DefaultRecordIsAllZeroAndDumpsSo)
{
    const VelmTorCorrICPPointConfig c;
    EXPECT_EQ(Dump(c), L"fBoundingBoxBlowup = 0.000000,\n"
                       L"iMaxNumberDepthImagePairs = 0,\n"
                       L"iNumberOfPairs = 0,\n"
                       L"fInitialDistanceThreshold = 0.000000,\n"
                       L"iAdaptDistanceThreshold = 0,\n"
                       L"fDistanceThresholdAdaptionFactor = 0.000000,\n"
                       L"fSamplingDensity = 0.000000,\n"
                       L"fQueryRadiusThreshold = 0.000000,\n"
                       L"fConvergedQueryRadius = 0.000000,\n"
                       L"bSmoothDistanceThresholding = 0,\n"
                       L"uiMaxTransformationUpdates = 0,\n"
                       L"dMinImprovement = 0.000000,\n"
                       L"dMinStepSize = 0.000000,\n"
                       L"iMaxIterations = 0,\n"
                       L"dOffsetThreshold = 0.000000,\n"
                       L"fMinimumPairWeights = 0.000000,\n"
                       L"fMaxDOFConditionNumber = 0.000000,\n"
                       L"fMaxRelativeMovement = 0.000000,\n"
                       L"iNrTestSamples = 0,\n"
                       L"fOverlapRange = 0.000000,\n"
                       L"fTestRange = 0.000000,\n"
                       L"dCosNormalThreshold = 0.000000,\n"
                       L"dCurvatureThreshold = 0.000000,\n"
                       L"dMinimumOverlapQuotient = 0.000000,\n"
                       L"dMinimumWeightsQuotient = 0.000000,\n"
                       L"defaultResClass_errorThreshold = 0.000000,\n"
                       L"minimumAbsOverlap = 0.000000,\n"
                       L"minScanQualityFix = 0\n"
                       L"minScanQualityFloat = 0\n");

    // Also zero when the storage held garbage before: no field is left to chance.
    alignas(VelmTorCorrICPPointConfig) unsigned char storage[sizeof(VelmTorCorrICPPointConfig)];
    std::fill(std::begin(storage), std::end(storage), static_cast<unsigned char>(0xA5));
    const auto* onGarbage = new (storage) VelmTorCorrICPPointConfig();
    EXPECT_EQ(Dump(*onGarbage), Dump(c));
    EXPECT_FALSE(onGarbage->GetSmoothDistanceThresholding());
    onGarbage->~VelmTorCorrICPPointConfig();
}

TEST(VelmTorCorrICPPointConfig, EveryFieldDumpsOnItsOwnLineWithItsConversion)
{
    EXPECT_EQ(Dump(AwkwardConfig()), kAwkwardDump);
}

TEST(VelmTorCorrICPPointConfig, GettersReturnWhatTheSettersStoredUnrounded)
{
    const VelmTorCorrICPPointConfig c = AwkwardConfig();
    EXPECT_EQ(c.GetBoundingBoxBlowup(), 1.5f);
    EXPECT_EQ(c.GetMaxNumberDepthImagePairs(), -7);
    EXPECT_EQ(c.GetNumberOfPairs(), 3000000000u);
    EXPECT_EQ(c.GetInitialDistanceThreshold(), 123456.789f);
    EXPECT_EQ(c.GetAdaptDistanceThreshold(), 1);
    EXPECT_EQ(c.GetDistanceThresholdAdaptionFactor(), 2.5f);
    EXPECT_EQ(c.GetSamplingDensity(), 0.75f);
    EXPECT_EQ(c.GetQueryRadiusThreshold(), 3.25f);
    EXPECT_EQ(c.GetConvergedQueryRadius(), -1.0f);
    EXPECT_TRUE(c.GetSmoothDistanceThresholding());
    EXPECT_EQ(c.GetMaxTransformationUpdates(), 10);
    EXPECT_EQ(c.GetMinImprovement(), 0.999);
    EXPECT_EQ(c.GetMinStepSize(), 1e-3);
    EXPECT_EQ(c.GetMaxIterations(), 50);
    EXPECT_EQ(c.GetOffsetThreshold(), 16777217.0); // the dump rounds, the field does not
    EXPECT_EQ(c.GetMinimumPairWeights(), 0.0f);
    EXPECT_TRUE(std::signbit(c.GetMinimumPairWeights()));
    EXPECT_EQ(c.GetMaxDOFConditionNumber(), 1000.0f);
    EXPECT_TRUE(std::isnan(c.GetMaxRelativeMovement()));
    EXPECT_EQ(c.GetNrTestSamples(), INT_MIN);
    EXPECT_EQ(c.GetOverlapRange(), std::numeric_limits<float>::infinity());
    EXPECT_EQ(c.GetTestRange(), 0.125f);
    EXPECT_EQ(c.GetCosNormalThreshold(), 0.8);
    EXPECT_EQ(c.GetCurvatureThreshold(), 1e300);
    EXPECT_EQ(c.GetMinimumOverlapQuotient(), 0.3);
    EXPECT_EQ(c.GetMinimumWeightsQuotient(), 123456.789);
    EXPECT_EQ(c.GetDefaultResClassErrorThreshold(), 0.05);
    EXPECT_EQ(c.GetMinimumAbsOverlap(), 1e-7);
    EXPECT_EQ(c.GetMinimumNumberSurfelsFix(), 4294967295u);
    EXPECT_EQ(c.GetMinimumNumberSurfelsFloat(), 2147483647u);
}

TEST(VelmTorCorrICPPointConfig, CopyAndMoveTransferEveryFieldAndMoveKeepsTheSource)
{
    VelmTorCorrICPPointConfig source = AwkwardConfig();

    VelmTorCorrICPPointConfig assigned;
    assigned = std::move(source);
    EXPECT_EQ(Dump(assigned), kAwkwardDump);
    EXPECT_EQ(Dump(source), kAwkwardDump);
    EXPECT_EQ(source.GetOffsetThreshold(), 16777217.0);
    EXPECT_EQ(source.GetMinimumNumberSurfelsFix(), 4294967295u);

    VelmTorCorrICPPointConfig constructed(std::move(source));
    EXPECT_EQ(Dump(constructed), kAwkwardDump);
    EXPECT_EQ(Dump(source), kAwkwardDump);

    // Assignment replaces every field, also of a target that already held values.
    VelmTorCorrICPPointConfig target = AwkwardConfig();
    target = VelmTorCorrICPPointConfig();
    EXPECT_EQ(Dump(target), Dump(VelmTorCorrICPPointConfig()));
    target = constructed;
    EXPECT_EQ(Dump(target), kAwkwardDump);
    EXPECT_EQ(target.GetMinimumWeightsQuotient(), 123456.789);
}
