#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"

#include <cstdint>

namespace DataLayer
{
namespace
{
// The dump shows doubles at single precision, as the parameters were originally kept.
double AsSingle(double value)
{
    return static_cast<double>(static_cast<float>(value));
}

// %d reads a signed 32-bit value: counts above INT32_MAX print as negative numbers.
int AsSigned32(unsigned int value)
{
    return static_cast<int>(static_cast<int32_t>(value));
}
} // namespace

CString VelmTorCorrICPPointConfig::ToString() const
{
    CString text;
    text.Format(L"fBoundingBoxBlowup = %f,\n"
                L"iMaxNumberDepthImagePairs = %d,\n"
                L"iNumberOfPairs = %d,\n"
                L"fInitialDistanceThreshold = %f,\n"
                L"iAdaptDistanceThreshold = %d,\n"
                L"fDistanceThresholdAdaptionFactor = %f,\n"
                L"fSamplingDensity = %f,\n"
                L"fQueryRadiusThreshold = %f,\n"
                L"fConvergedQueryRadius = %f,\n"
                L"bSmoothDistanceThresholding = %d,\n"
                L"uiMaxTransformationUpdates = %d,\n"
                L"dMinImprovement = %f,\n"
                L"dMinStepSize = %f,\n"
                L"iMaxIterations = %d,\n"
                L"dOffsetThreshold = %f,\n"
                L"fMinimumPairWeights = %f,\n"
                L"fMaxDOFConditionNumber = %f,\n"
                L"fMaxRelativeMovement = %f,\n"
                L"iNrTestSamples = %d,\n"
                L"fOverlapRange = %f,\n"
                L"fTestRange = %f,\n"
                L"dCosNormalThreshold = %f,\n"
                L"dCurvatureThreshold = %f,\n"
                L"dMinimumOverlapQuotient = %f,\n"
                L"dMinimumWeightsQuotient = %f,\n"
                L"defaultResClass_errorThreshold = %f,\n"
                L"minimumAbsOverlap = %f,\n"
                L"minScanQualityFix = %d\n"
                L"minScanQualityFloat = %d\n",
                static_cast<double>(fBoundingBoxBlowup), iMaxNumberDepthImagePairs, AsSigned32(iNumberOfPairs),
                static_cast<double>(fInitialDistanceThreshold), iAdaptDistanceThreshold,
                static_cast<double>(fDistanceThresholdAdaptionFactor), static_cast<double>(fSamplingDensity),
                static_cast<double>(fQueryRadiusThreshold), static_cast<double>(fConvergedQueryRadius),
                bSmoothDistanceThresholding ? 1 : 0, uiMaxTransformationUpdates, AsSingle(dMinImprovement),
                AsSingle(dMinStepSize), iMaxIterations, AsSingle(dOffsetThreshold),
                static_cast<double>(fMinimumPairWeights), static_cast<double>(fMaxDOFConditionNumber),
                static_cast<double>(fMaxRelativeMovement), iNrTestSamples, static_cast<double>(fOverlapRange),
                static_cast<double>(fTestRange), AsSingle(dCosNormalThreshold), AsSingle(dCurvatureThreshold),
                AsSingle(dMinimumOverlapQuotient), AsSingle(dMinimumWeightsQuotient),
                AsSingle(defaultResClass_errorThreshold), AsSingle(minimumAbsOverlap), AsSigned32(minScanQualityFix),
                AsSigned32(minScanQualityFloat));
    return text;
}
} // namespace DataLayer
