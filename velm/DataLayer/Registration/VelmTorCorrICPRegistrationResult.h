#pragma once

#include "velm/Base/Interfaces/CCovarianceEllipsoid.h"
#include "velm/Frame/CString.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <memory>

namespace DataLayer
{
class VelmTorCorrICPPoint;

// Which motions the pairs of a registration constrain: the eigen-decomposition of the 6x6 point-to-plane
// normal matrix (translation first, rotation scaled by fScale). Small eigenvalues mark poorly
// constrained motions. 51 floats, all zero on construction.
struct VelmTorDegreeOfFreedomDescription
{
    float fScale = 0.0f;
    float aEigenVectors[6][6] = {}; // [vector][component]; vector k belongs to aEigenValues[k]
    float aEigenValues[6] = {};     // decreasing
    float aReserved[5] = {};
    CbVector3f vCentre; // pair centre of the fixed side
};
static_assert(sizeof(VelmTorDegreeOfFreedomDescription) == 51 * sizeof(float),
              "the description is a block of 51 floats");

// The outcome of one registration. The engine fills a fresh record at the end of every registration
// and hands it out as a shared pointer to a constant record; hosts may also build and copy records.
//
// Data members, for the engine (a friend) and for derived classes:
//   strFailureCause, dRMSE, ceSamplePoints, eState, mTransformation, mICPStartTransformation,
//   fDistance, fOverlapEstimateInSqrMM, fBoundaryDistanceInMM, ceOverlapCentroid,
//   fMeasureVolumeDistance, fGeodeticDistance, bFlag, dOffset, dLastMovement, dRelativeMovement,
//   uiNrIterations, dChgRmse, dLastChgRmse, dOverlapQuotient, dPairWeightsQuotient,
//   uiNrDepthImagePairs, uiNrFoundPairs, dSumOfWeights, dOverallSumOfWeights, dSumOfCurvature,
//   dOverallSumOfCurvature, dFinalDistanceThreshold, spDOFFix, spDOFFlt.
// The measures only the engine computes have getters but no setters.
class VelmTorCorrICPRegistrationResult
{
public:
    enum ERegistrationState : int32_t
    {
        Discarded = -4,
        Undefined = -3,
        NoOverlap = -2,
        Failed = -1,
        Ready = 0,
        Improve = 1,
        Success = 2,
        Started = 3,
        NotConverged = 4,
        TooManyDOF = 5,
        OverlapQualityBad = 6,
        MovingTooFast = 7,
        ConsolidatedNeedsReevaluation = 8,
        OnlyOverlapComputed = 9,
        OverlapTooSmall = 10,
        DeviationFromGlobalVoteTooLarge = 11,
        SurfelCountTooLow = 12
    };

    // The printed name of a state; "undef" for any value outside Discarded..SurfelCountTooLow.
    static CString GetStateName(ERegistrationState state);

    VelmTorCorrICPRegistrationResult() = default;
    // Copies share the description records with their source. Moving copies too, so a moved-from
    // record keeps its contents.
    VelmTorCorrICPRegistrationResult(const VelmTorCorrICPRegistrationResult&) = default;
    VelmTorCorrICPRegistrationResult& operator=(const VelmTorCorrICPRegistrationResult&) = default;
    ~VelmTorCorrICPRegistrationResult() = default;

    const CString& GetFailureCause() const { return strFailureCause; }
    void SetFailureCause(const CString& cause) { strFailureCause = cause; }
    double GetRMSE() const { return dRMSE; }
    const Base::CCovarianceEllipsoid& GetSamplePoints() const { return ceSamplePoints; }
    void SetSamplePoints(const Base::CCovarianceEllipsoid& points) { ceSamplePoints = points; }
    ERegistrationState GetState() const { return eState; }
    void SetState(ERegistrationState state) { eState = state; }
    const CbMatrix4Rd& GetTransformation() const { return mTransformation; }
    void SetTransformation(const CbMatrix4Rd& m) { mTransformation = m; }
    const CbMatrix4Rd& GetICPStartTransformation() const { return mICPStartTransformation; }
    void SetICPStartTransformation(const CbMatrix4Rd& m) { mICPStartTransformation = m; }

    // Measures that only the host fills.
    float GetDistance() const { return fDistance; }
    void SetDistance(float v) { fDistance = v; }
    float GetOverlapEstimateInSqrMM() const { return fOverlapEstimateInSqrMM; }
    void SetOverlapEstimateInSqrMM(float v) { fOverlapEstimateInSqrMM = v; }
    float GetBoundaryDistanceInMM() const { return fBoundaryDistanceInMM; }
    void SetBoundaryDistanceInMM(float v) { fBoundaryDistanceInMM = v; }
    const Base::CCovarianceEllipsoid& GetOverlapCentroid() const { return ceOverlapCentroid; }
    void SetOverlapCentroid(const Base::CCovarianceEllipsoid& c) { ceOverlapCentroid = c; }
    float GetMeasureVolumeDistance() const { return fMeasureVolumeDistance; }
    void SetMeasureVolumeDistance(float v) { fMeasureVolumeDistance = v; }
    float GetGeodeticDistance() const { return fGeodeticDistance; }
    void SetGeodeticDistance(float v) { fGeodeticDistance = v; }

    double GetOffset() const { return dOffset; }
    double GetRelativeMovement() const { return dRelativeMovement; }
    uint32_t GetNrIterations() const { return uiNrIterations; }
    double GetOverlapQuotient() const { return dOverlapQuotient; }
    double GetPairWeightsQuotient() const { return dPairWeightsQuotient; }
    uint32_t GetNrDepthImagePairs() const { return uiNrDepthImagePairs; }
    uint32_t GetNrFoundPairs() const { return uiNrFoundPairs; }
    double GetSumOfWeights() const { return dSumOfWeights; }
    double GetOverallSumOfWeights() const { return dOverallSumOfWeights; }
    double GetSumOfCurvature() const { return dSumOfCurvature; }
    double GetOverallSumOfCurvature() const { return dOverallSumOfCurvature; }
    double GetFinalDistanceThreshold() const { return dFinalDistanceThreshold; }

    bool GetSuccess() const { return eState == Success; }
    // Unguarded quotients: 0/0 is NaN, a positive sum over 0 is infinite. No operation of the library
    // fills the curvature sums, so the curvature quotient of a library result is NaN.
    double GetWeightsQuotient() const { return dSumOfWeights / dOverallSumOfWeights; }
    double GetCurvatureQuotient() const { return dSumOfCurvature / dOverallSumOfCurvature; }

    // The description the record points to; an all-zero description while it points to none (the
    // floating side never gets one, the fixed side only from an evaluated registration).
    const VelmTorDegreeOfFreedomDescription& GetDegreeOfFreedomDescriptionFix() const;
    const VelmTorDegreeOfFreedomDescription& GetDegreeOfFreedomDescriptionFlt() const;

    // One line, ending in ", ": state, RMSE in micrometres, the host measures, the failure cause, then
    // the convergence measures, counts, sums and quotients.
    CString ToString() const;

protected:
    friend class VelmTorCorrICPPoint;

    CString strFailureCause;
    double dRMSE = 0.0;
    Base::CCovarianceEllipsoid ceSamplePoints;
    ERegistrationState eState = Undefined;
    CbMatrix4Rd mTransformation;
    CbMatrix4Rd mICPStartTransformation;
    float fDistance = 0.0f;
    float fOverlapEstimateInSqrMM = 0.0f;
    float fBoundaryDistanceInMM = 0.0f;
    Base::CCovarianceEllipsoid ceOverlapCentroid;
    float fMeasureVolumeDistance = 0.0f;
    float fGeodeticDistance = 0.0f;
    bool bFlag = false; // the host's; copied with the record, never read here
    double dOffset = 0.0;
    double dLastMovement = 0.0;
    double dRelativeMovement = 0.0;
    uint32_t uiNrIterations = 0;
    double dChgRmse = 0.0;
    double dLastChgRmse = 0.0;
    double dOverlapQuotient = 0.0;
    double dPairWeightsQuotient = 0.0;
    uint32_t uiNrDepthImagePairs = 0;
    uint32_t uiNrFoundPairs = 0;
    double dSumOfWeights = 0.0;
    double dOverallSumOfWeights = 0.0;
    double dSumOfCurvature = 0.0;
    double dOverallSumOfCurvature = 0.0;
    double dFinalDistanceThreshold = 0.0;
    std::shared_ptr<const VelmTorDegreeOfFreedomDescription> spDOFFix;
    std::shared_ptr<const VelmTorDegreeOfFreedomDescription> spDOFFlt;
};
} // namespace DataLayer
