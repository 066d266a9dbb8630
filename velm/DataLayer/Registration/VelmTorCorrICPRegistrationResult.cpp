#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"

namespace DataLayer
{
namespace
{
const VelmTorDegreeOfFreedomDescription& EmptyDescription()
{
    // Constant-initialised, so it is usable from any thread and during static initialisation.
    static constexpr VelmTorDegreeOfFreedomDescription s_empty{};
    return s_empty;
}
} // namespace

CString VelmTorCorrICPRegistrationResult::GetStateName(ERegistrationState state)
{
    static const CString s_names[17] = {L"Discarded",
                                        L"Undefined",
                                        L"NoOverlap",
                                        L"Failed",
                                        L"Ready",
                                        L"Improve",
                                        L"Success",
                                        L"Started",
                                        L"NotConverged",
                                        L"TooManyDOF",
                                        L"OverlapQualityBad",
                                        L"MovingTooFast",
                                        L"ConsolidatedNeedsReevaluation",
                                        L"OnlyOverlapComputed",
                                        L"OverlapTooSmall",
                                        L"DeviationFromGlobalVoteTooLarge",
                                        L"SurfelCountTooLow"};
    // Offset in unsigned arithmetic: values below Discarded wrap to large indices, and no value can
    // overflow.
    const uint32_t index = static_cast<uint32_t>(static_cast<int32_t>(state)) + 4u;
    if (index > 16u)
        return CString(L"undef");
    return s_names[index];
}

const VelmTorDegreeOfFreedomDescription& VelmTorCorrICPRegistrationResult::GetDegreeOfFreedomDescriptionFix() const
{
    return spDOFFix ? *spDOFFix : EmptyDescription();
}

const VelmTorDegreeOfFreedomDescription& VelmTorCorrICPRegistrationResult::GetDegreeOfFreedomDescriptionFlt() const
{
    return spDOFFlt ? *spDOFFlt : EmptyDescription();
}

CString VelmTorCorrICPRegistrationResult::ToString() const
{
    CString head;
    head.Format(L"ICP Result: state=%s, rmse=%.2f\u00B5m, dist=%.2fmm, overlapInMM^2=%.2f, bdrDistInMM=%.2f, "
                L"distMV=%.2f, distGeod=%.2f, FailCause=%s",
                GetStateName(eState).GetString(), dRMSE * 1000.0, static_cast<double>(fDistance),
                static_cast<double>(fOverlapEstimateInSqrMM), static_cast<double>(fBoundaryDistanceInMM),
                static_cast<double>(fMeasureVolumeDistance), static_cast<double>(fGeodeticDistance),
                strFailureCause.GetString());

    // %d reads the counts as signed 32-bit values.
    CString text;
    text.Format(L"%s offset=%f, lastMovement=%f, relMovement=%f, #iter=%d, chgRmse=%f, lastChgRmse=%f, "
                L"ovlQuotient=%f, pairWtsQuotient=%f, #depthImg=%d, #pairs=%d, cvgSumWts=%f, cvgOvlSumWts=%f, "
                L"sumCurvt=%f, ovlSumCurvt=%f, finalDstThrs=%f, ",
                head.GetString(), dOffset, dLastMovement, dRelativeMovement, static_cast<int32_t>(uiNrIterations),
                dChgRmse, dLastChgRmse, dOverlapQuotient, dPairWeightsQuotient,
                static_cast<int32_t>(uiNrDepthImagePairs), static_cast<int32_t>(uiNrFoundPairs), dSumOfWeights,
                dOverallSumOfWeights, dSumOfCurvature, dOverallSumOfCurvature, dFinalDistanceThreshold);
    return text;
}
} // namespace DataLayer
