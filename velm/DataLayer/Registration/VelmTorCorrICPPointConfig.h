#pragma once

#include "velm/Frame/CString.h"

namespace DataLayer
{
// The parameter record of the ICP engines: 29 scalars with a getter and a setter each and a text dump.
// The engine keeps the address of the caller's record and reads it whenever it runs, so a setter called
// between two iterations acts from the next iteration on. The library defines no default parameters:
// a default-constructed record is all zero (false) only so that nothing in it is indeterminate.
// Setters store their argument as it is, without range checks.
class VelmTorCorrICPPointConfig
{
public:
    VelmTorCorrICPPointConfig() = default;
    VelmTorCorrICPPointConfig(const VelmTorCorrICPPointConfig&) = default;
    VelmTorCorrICPPointConfig(VelmTorCorrICPPointConfig&&) = default;
    VelmTorCorrICPPointConfig& operator=(const VelmTorCorrICPPointConfig&) = default;
    // The record owns nothing, so moving copies and the source keeps its values.
    VelmTorCorrICPPointConfig& operator=(VelmTorCorrICPPointConfig&&) = default;
    ~VelmTorCorrICPPointConfig() = default;

    float GetBoundingBoxBlowup() const { return fBoundingBoxBlowup; }
    void SetBoundingBoxBlowup(float v) { fBoundingBoxBlowup = v; }
    int GetMaxNumberDepthImagePairs() const { return iMaxNumberDepthImagePairs; }
    void SetMaxNumberDepthImagePairs(int v) { iMaxNumberDepthImagePairs = v; }
    unsigned int GetNumberOfPairs() const { return iNumberOfPairs; }
    void SetNumberOfPairs(unsigned int v) { iNumberOfPairs = v; }
    float GetInitialDistanceThreshold() const { return fInitialDistanceThreshold; }
    void SetInitialDistanceThreshold(float v) { fInitialDistanceThreshold = v; }
    int GetAdaptDistanceThreshold() const { return iAdaptDistanceThreshold; }
    void SetAdaptDistanceThreshold(int v) { iAdaptDistanceThreshold = v; }
    float GetDistanceThresholdAdaptionFactor() const { return fDistanceThresholdAdaptionFactor; }
    void SetDistanceThresholdAdaptionFactor(float v) { fDistanceThresholdAdaptionFactor = v; }
    float GetSamplingDensity() const { return fSamplingDensity; }
    void SetSamplingDensity(float v) { fSamplingDensity = v; }
    float GetQueryRadiusThreshold() const { return fQueryRadiusThreshold; }
    void SetQueryRadiusThreshold(float v) { fQueryRadiusThreshold = v; }
    float GetConvergedQueryRadius() const { return fConvergedQueryRadius; }
    void SetConvergedQueryRadius(float v) { fConvergedQueryRadius = v; }
    bool GetSmoothDistanceThresholding() const { return bSmoothDistanceThresholding; }
    void SetSmoothDistanceThresholding(bool v) { bSmoothDistanceThresholding = v; }
    int GetMaxTransformationUpdates() const { return uiMaxTransformationUpdates; }
    void SetMaxTransformationUpdates(int v) { uiMaxTransformationUpdates = v; }
    double GetMinImprovement() const { return dMinImprovement; }
    void SetMinImprovement(double v) { dMinImprovement = v; }
    double GetMinStepSize() const { return dMinStepSize; }
    void SetMinStepSize(double v) { dMinStepSize = v; }
    int GetMaxIterations() const { return iMaxIterations; }
    void SetMaxIterations(int v) { iMaxIterations = v; }
    double GetOffsetThreshold() const { return dOffsetThreshold; }
    void SetOffsetThreshold(double v) { dOffsetThreshold = v; }
    float GetMinimumPairWeights() const { return fMinimumPairWeights; }
    void SetMinimumPairWeights(float v) { fMinimumPairWeights = v; }
    float GetMaxDOFConditionNumber() const { return fMaxDOFConditionNumber; }
    void SetMaxDOFConditionNumber(float v) { fMaxDOFConditionNumber = v; }
    float GetMaxRelativeMovement() const { return fMaxRelativeMovement; }
    void SetMaxRelativeMovement(float v) { fMaxRelativeMovement = v; }
    int GetNrTestSamples() const { return iNrTestSamples; }
    void SetNrTestSamples(int v) { iNrTestSamples = v; }
    float GetOverlapRange() const { return fOverlapRange; }
    void SetOverlapRange(float v) { fOverlapRange = v; }
    float GetTestRange() const { return fTestRange; }
    void SetTestRange(float v) { fTestRange = v; }
    double GetCosNormalThreshold() const { return dCosNormalThreshold; }
    void SetCosNormalThreshold(double v) { dCosNormalThreshold = v; }
    double GetCurvatureThreshold() const { return dCurvatureThreshold; }
    void SetCurvatureThreshold(double v) { dCurvatureThreshold = v; }
    double GetMinimumOverlapQuotient() const { return dMinimumOverlapQuotient; }
    void SetMinimumOverlapQuotient(double v) { dMinimumOverlapQuotient = v; }
    double GetMinimumWeightsQuotient() const { return dMinimumWeightsQuotient; }
    void SetMinimumWeightsQuotient(double v) { dMinimumWeightsQuotient = v; }
    double GetDefaultResClassErrorThreshold() const { return defaultResClass_errorThreshold; }
    void SetDefaultResClassErrorThreshold(double v) { defaultResClass_errorThreshold = v; }
    double GetMinimumAbsOverlap() const { return minimumAbsOverlap; }
    void SetMinimumAbsOverlap(double v) { minimumAbsOverlap = v; }
    // The dump calls these two fields minimum scan qualities; they are minimum surfel counts.
    unsigned int GetMinimumNumberSurfelsFix() const { return minScanQualityFix; }
    void SetMinimumNumberSurfelsFix(unsigned int v) { minScanQualityFix = v; }
    unsigned int GetMinimumNumberSurfelsFloat() const { return minScanQualityFloat; }
    void SetMinimumNumberSurfelsFloat(unsigned int v) { minScanQualityFloat = v; }

    // One "name = value" line per field in declaration order. Doubles print with the digits of their
    // single-precision value, unsigned fields as signed 32-bit numbers.
    CString ToString() const;

private:
    // Field names are the dump labels, so the dump and the code speak of the same thing.
    float fBoundingBoxBlowup = 0.0f;
    int iMaxNumberDepthImagePairs = 0;
    unsigned int iNumberOfPairs = 0;
    float fInitialDistanceThreshold = 0.0f;
    int iAdaptDistanceThreshold = 0;
    float fDistanceThresholdAdaptionFactor = 0.0f;
    float fSamplingDensity = 0.0f;
    float fQueryRadiusThreshold = 0.0f;
    float fConvergedQueryRadius = 0.0f;
    bool bSmoothDistanceThresholding = false;
    int uiMaxTransformationUpdates = 0;
    double dMinImprovement = 0.0;
    double dMinStepSize = 0.0;
    int iMaxIterations = 0;
    double dOffsetThreshold = 0.0;
    float fMinimumPairWeights = 0.0f;
    float fMaxDOFConditionNumber = 0.0f;
    float fMaxRelativeMovement = 0.0f;
    int iNrTestSamples = 0;
    float fOverlapRange = 0.0f;
    float fTestRange = 0.0f;
    double dCosNormalThreshold = 0.0;
    double dCurvatureThreshold = 0.0;
    double dMinimumOverlapQuotient = 0.0;
    double dMinimumWeightsQuotient = 0.0;
    double defaultResClass_errorThreshold = 0.0;
    double minimumAbsOverlap = 0.0;
    unsigned int minScanQualityFix = 0;
    unsigned int minScanQualityFloat = 0;
};
} // namespace DataLayer
