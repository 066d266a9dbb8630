#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <limits>
#include <new>
#include <string>
#include <utility>

using DataLayer::VelmTorCorrICPPointConfig;

namespace
{
std::wstring Dump(const VelmTorCorrICPPointConfig& c)
{
    return c.ToString().GetString();
}

// Values that print as expected only after the dump's conversions (doubles rounded to single
// precision, unsigned counts through %d) and that show which line each field went to.
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

const wchar_t* const kAwkwardDump =
    L"fBoundingBoxBlowup = 1.500000,\niMaxNumberDepthImagePairs = -7,\niNumberOfPairs = -1294967296,\n"
    L"fInitialDistanceThreshold = 123456.789062,\niAdaptDistanceThreshold = 1,\n"
    L"fDistanceThresholdAdaptionFactor = 2.500000,\nfSamplingDensity = 0.750000,\n"
    L"fQueryRadiusThreshold = 3.250000,\nfConvergedQueryRadius = -1.000000,\nbSmoothDistanceThresholding = 1,\n"
    L"uiMaxTransformationUpdates = 10,\ndMinImprovement = 0.999000,\ndMinStepSize = 0.001000,\n"
    L"iMaxIterations = 50,\ndOffsetThreshold = 16777216.000000,\nfMinimumPairWeights = -0.000000,\n"
    L"fMaxDOFConditionNumber = 1000.000000,\nfMaxRelativeMovement = nan,\niNrTestSamples = -2147483648,\n"
    L"fOverlapRange = inf,\nfTestRange = 0.125000,\ndCosNormalThreshold = 0.800000,\n"
    L"dCurvatureThreshold = inf,\ndMinimumOverlapQuotient = 0.300000,\n"
    L"dMinimumWeightsQuotient = 123456.789062,\ndefaultResClass_errorThreshold = 0.050000,\n"
    L"minimumAbsOverlap = 0.000000,\nminScanQualityFix = -1\nminScanQualityFloat = 2147483647\n";
} // namespace

TEST(VelmTorCorrICPPointConfig, DefaultRecordIsAllZeroEvenOnGarbageStorage)
{
    alignas(VelmTorCorrICPPointConfig) unsigned char storage[sizeof(VelmTorCorrICPPointConfig)];
    std::fill(std::begin(storage), std::end(storage), static_cast<unsigned char>(0xA5));
    const auto* c = new (storage) VelmTorCorrICPPointConfig();
    EXPECT_EQ(Dump(*c),
              L"fBoundingBoxBlowup = 0.000000,\niMaxNumberDepthImagePairs = 0,\niNumberOfPairs = 0,\n"
              L"fInitialDistanceThreshold = 0.000000,\niAdaptDistanceThreshold = 0,\n"
              L"fDistanceThresholdAdaptionFactor = 0.000000,\nfSamplingDensity = 0.000000,\n"
              L"fQueryRadiusThreshold = 0.000000,\nfConvergedQueryRadius = 0.000000,\n"
              L"bSmoothDistanceThresholding = 0,\nuiMaxTransformationUpdates = 0,\ndMinImprovement = 0.000000,\n"
              L"dMinStepSize = 0.000000,\niMaxIterations = 0,\ndOffsetThreshold = 0.000000,\n"
              L"fMinimumPairWeights = 0.000000,\n"
              L"fMaxDOFConditionNumber = 0.000000,\nfMaxRelativeMovement = 0.000000,\niNrTestSamples = 0,\n"
              L"fOverlapRange = 0.000000,\nfTestRange = 0.000000,\ndCosNormalThreshold = 0.000000,\n"
              L"dCurvatureThreshold = 0.000000,\ndMinimumOverlapQuotient = 0.000000,\n"
              L"dMinimumWeightsQuotient = 0.000000,\ndefaultResClass_errorThreshold = 0.000000,\n"
              L"minimumAbsOverlap = 0.000000,\nminScanQualityFix = 0\nminScanQualityFloat = 0\n");
    c->~VelmTorCorrICPPointConfig();
}

TEST(VelmTorCorrICPPointConfig, AwkwardValuesDumpWithTheirConversionsButAreStoredUnrounded)
{
    const VelmTorCorrICPPointConfig c = AwkwardConfig();
    EXPECT_EQ(Dump(c), kAwkwardDump);
    EXPECT_EQ(c.GetOffsetThreshold(), 16777217.0);
    EXPECT_EQ(c.GetMinimumNumberSurfelsFix(), 4294967295u);
}

TEST(VelmTorCorrICPPointConfig, CopyAndMoveTransferEveryFieldAndMoveKeepsTheSource)
{
    VelmTorCorrICPPointConfig source = AwkwardConfig();
    VelmTorCorrICPPointConfig moved(std::move(source));
    VelmTorCorrICPPointConfig assigned = AwkwardConfig();
    assigned = VelmTorCorrICPPointConfig(); // replaces every field of a target that held values
    EXPECT_EQ(Dump(assigned), Dump(VelmTorCorrICPPointConfig()));
    assigned = std::move(source);
    VelmTorCorrICPPointConfig copied;
    copied = moved;
    for (const VelmTorCorrICPPointConfig* c : {&moved, &assigned, &copied, &source})
        EXPECT_EQ(Dump(*c), kAwkwardDump);
}
