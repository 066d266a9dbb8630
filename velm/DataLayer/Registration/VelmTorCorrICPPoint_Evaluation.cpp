#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include "velm/DataLayer/Algorithms/Math/VelmTorCorrMath.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"
#include "velm/Frame/CString.h"
#include "velm/Frame/VelmException.h"

namespace DataLayer
{
namespace
{
using Result = VelmTorCorrICPRegistrationResult;

// Limits of the configuration are printed with the digits of their single-precision value.
double AsPrinted(double limit)
{
    return static_cast<double>(static_cast<float>(limit));
}
} // namespace

bool VelmTorCorrICPPoint::IsSuccesful()
{
    static const char* const function = "DataLayer::VelmTorCorrICPPoint::IsSuccesful";
    const VelmTorCorrICPPointConfig& config = RequireConfiguration(function);
    CheckModelsAvailable();
    if (!spDOFFix)
        ThrowFormattedException(VELM_HERE, function,
                                L"No degree-of-freedom description: the registration has not been evaluated "
                                L"(SetResultValues computes it before it judges the registration).");

    ComputePairWeightsQuotient();

    const uint32_t maxIterations = static_cast<uint32_t>(config.GetMaxIterations());
    const double offsetThreshold = config.GetOffsetThreshold();
    const float minimumPairWeights = config.GetMinimumPairWeights();
    const float maxConditionNumber = config.GetMaxDOFConditionNumber();
    const float maxRelativeMovement = config.GetMaxRelativeMovement();
    const double minimumOverlapQuotient = config.GetMinimumOverlapQuotient();
    const double minimumWeightsQuotient = config.GetMinimumWeightsQuotient();
    const double errorThreshold = config.GetDefaultResClassErrorThreshold();
    const float conditionNumber = spDOFFix->aEigenValues[0] / spDOFFix->aEigenValues[5];
    Result& result = *spResult;
    const double relativeMovement = result.dRelativeMovement;

    const bool outOfIterations = uiIteration >= maxIterations;
    const bool offsetTooLarge = dOffset >= offsetThreshold;
    const bool tooManyDOF = conditionNumber > 0.0f && conditionNumber > maxConditionNumber;
    const bool movingTooFast = relativeMovement > static_cast<double>(maxRelativeMovement);

    CString cause;
    if (outOfIterations)
        cause.AppendFormat(L" uiIterations=%d (%d)", static_cast<int>(uiIteration), config.GetMaxIterations());
    if (offsetTooLarge)
        cause.AppendFormat(L" fOffset=%f (%f)", dOffset, AsPrinted(offsetThreshold));
    if (static_cast<double>(minimumPairWeights) >= dSumOfPairWeights)
        cause.AppendFormat(L" fConvergenceSumOfPairWeights=%f (%f)", dSumOfPairWeights,
                           static_cast<double>(minimumPairWeights));
    if (tooManyDOF)
        cause.AppendFormat(L" conditionNumber=%f (%f)", static_cast<double>(conditionNumber),
                           static_cast<double>(maxConditionNumber));
    if (movingTooFast)
        cause.AppendFormat(L" fMaxRelativeMovement=%f (%f)", relativeMovement,
                           static_cast<double>(maxRelativeMovement));
    if (minimumOverlapQuotient >= dOverlapQuotient)
        cause.AppendFormat(L" fOverlapQuotient=%f (%f)", dOverlapQuotient, AsPrinted(minimumOverlapQuotient));
    if (minimumWeightsQuotient >= dPairWeightsQuotient)
        cause.AppendFormat(L" fPairWeightsQuotient=%f (%f)", dPairWeightsQuotient, AsPrinted(minimumWeightsQuotient));
    if (dRMSE >= errorThreshold)
        cause.AppendFormat(L" fMinError=%f (%f)", dRMSE, AsPrinted(errorThreshold));
    result.strFailureCause = cause;

    if (outOfIterations || offsetTooLarge)
    {
        result.eState = Result::NotConverged;
        return false;
    }
    if (!(dSumOfPairWeights > static_cast<double>(minimumPairWeights)))
    {
        result.eState = Result::OverlapQualityBad;
        return false;
    }
    if (tooManyDOF)
    {
        result.eState = Result::TooManyDOF;
        return false;
    }
    if (movingTooFast)
    {
        result.eState = Result::MovingTooFast;
        return false;
    }
    return dOverlapQuotient > minimumOverlapQuotient && dPairWeightsQuotient > minimumWeightsQuotient &&
           errorThreshold > dRMSE;
}

void VelmTorCorrICPPoint::computeScaledDOF(const VelmTorPointToPlaneErrorSystemMatrix& system,
                                           VelmTorDegreeOfFreedomDescription& description, float scale)
{
    description.fScale = scale;
    const float scaleSqr = scale * scale;
    float packed[21];
    for (int i = 0; i < 6; ++i)
    {
        for (int j = 0; j <= i; ++j)
        {
            const int index = i * (i + 1) / 2 + j;
            const double a = system.aNormalMatrix[index];
            if (i < 3)
                packed[index] = static_cast<float>(a);
            else if (j < 3)
                packed[index] = static_cast<float>(a * static_cast<double>(scale));
            else
                packed[index] = static_cast<float>(a * static_cast<double>(scaleSqr));
        }
    }
    VelmTorCorrMath::semi_definite_symmetric(packed, 6, &description.aEigenVectors[0][0], description.aEigenValues);
}

void VelmTorCorrICPPoint::ComputeDegreeOfFreedomDescriptor()
{
    // A new record each time: results handed out earlier keep the description they were judged by.
    auto description = std::make_shared<VelmTorDegreeOfFreedomDescription>();
    // Rotations are scaled by the size of the overlap, so that they compare with translations.
    const float extent = bbOverlap.GetExtent();
    const float scale = 2.0f / extent;
    computeScaledDOF(errorSystem, *description, scale);
    description->vCentre = CbVector3f(vPairCentre);
    spDOFFix = description;
    spResult->spDOFFix = spDOFFix;
}
} // namespace DataLayer
