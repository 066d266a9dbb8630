#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"
#include "velm/Frame/VelmException.h"

namespace DataLayer
{
namespace
{
using Result = VelmTorCorrICPRegistrationResult;
} // namespace

VelmTorCorrICPPoint::VelmTorCorrICPPoint()
    : uiNrFoundPairs(0),
      dRMSE(0.0),
      bConvergedRadiusReached(false),
      dDistanceThreshold(0.0),
      dSquaredDistanceThreshold(0.0),
      dSumOfPairWeights(0.0),
      dOverallSumOfPairWeights(0.0),
      dOffset(0.0),
      dLastMovement(0.0),
      dRelativeMovement(0.0),
      uiIteration(0),
      bBoundingBoxesOverlap(false),
      dSumTestWeights(0.0),
      dSumOverlapWeights(0.0),
      dSumMatchedWeights(0.0),
      dOverlapQuotient(0.0),
      dPairWeightsQuotient(0.0),
      uiNrDepthImagePairs(0),
      bSurfelCountTooLow(false),
      pConfig(nullptr),
      spResult(std::make_shared<Result>())
{
}

VelmTorCorrICPPoint::VelmTorCorrICPPoint(const VelmTorCorrICPPoint& other) = default;
VelmTorCorrICPPoint& VelmTorCorrICPPoint::operator=(const VelmTorCorrICPPoint& other) = default;
VelmTorCorrICPPoint::~VelmTorCorrICPPoint() = default;

void VelmTorCorrICPPoint::CheckModelsAvailable() const
{
}

const VelmTorCorrICPPointConfig& VelmTorCorrICPPoint::RequireConfiguration(const char* function) const
{
    if (!pConfig)
        ThrowFormattedException(VELM_HERE, function, L"No configuration has been set: call SetConfiguration before %S.",
                                function);
    return *pConfig;
}

void VelmTorCorrICPPoint::SetConfiguration(const VelmTorCorrICPPointConfig& config)
{
    pConfig = &config;
}

const VelmTorCorrICPPointConfig& VelmTorCorrICPPoint::GetConfiguration() const
{
    return RequireConfiguration("DataLayer::VelmTorCorrICPPoint::GetConfiguration");
}

void VelmTorCorrICPPoint::SetTransform(const CbMatrix4Rd& m)
{
    mStartTransform = m;
    mTransform = m;
}

void VelmTorCorrICPPoint::ComputeInitialTransform(const CbMatrix4Rd& a, const CbMatrix4Rd& b)
{
    CbMatrix4Rd inverse = b;
    inverse.Invert();
    mStartTransform = a * inverse;
    mTransform = mStartTransform;
}

const CbMatrix4Rd& VelmTorCorrICPPoint::GetTransform() const
{
    return mTransform;
}

void VelmTorCorrICPPoint::Init()
{
    const VelmTorCorrICPPointConfig& config = RequireConfiguration("DataLayer::VelmTorCorrICPPoint::Init");

    // Results handed out earlier stay with their holders.
    spResult = std::make_shared<Result>();
    uiIteration = 0;
    dOffset = 0.0;
    dSumOfPairWeights = 0.0;
    dOverallSumOfPairWeights = 0.0;
    dLastMovement = 0.0;
    uiNrFoundPairs = 0;
    bBoundingBoxesOverlap = true;
    bConvergedRadiusReached = false;
    // A registration is judged on the models it has now, not on an earlier pair building.
    bSurfelCountTooLow = false;
    SetDistanceThreshold(static_cast<double>(config.GetInitialDistanceThreshold()));
}

void VelmTorCorrICPPoint::InitDistanceThreshold()
{
    BuildPairs();
}

void VelmTorCorrICPPoint::SetDistanceThreshold(double threshold)
{
    dDistanceThreshold = threshold;
    dSquaredDistanceThreshold = threshold * threshold;
}

void VelmTorCorrICPPoint::UpdateDistanceThreshold()
{
    const VelmTorCorrICPPointConfig& config =
        RequireConfiguration("DataLayer::VelmTorCorrICPPoint::UpdateDistanceThreshold");
    if (bConvergedRadiusReached)
        return;

    double threshold = static_cast<double>(config.GetDistanceThresholdAdaptionFactor()) * dRMSE;
    const double samplingDensity = config.GetSamplingDensity();
    if (samplingDensity > threshold)
        threshold = samplingDensity;

    const double convergedRadius = config.GetConvergedQueryRadius();
    if (static_cast<double>(config.GetQueryRadiusThreshold()) > threshold && convergedRadius > 0.0)
    {
        threshold = convergedRadius;
        bConvergedRadiusReached = true;
    }
    SetDistanceThreshold(threshold);
}

void VelmTorCorrICPPoint::DoICPIteration1()
{
    const VelmTorCorrICPPointConfig& config = RequireConfiguration("DataLayer::VelmTorCorrICPPoint::DoICPIteration1");
    CheckModelsAvailable();

    if (config.GetAdaptDistanceThreshold() == 1)
    {
        // The adaptation needs an RMSE: the first iteration measures one at the initial threshold.
        if (uiIteration == 0)
            InitDistanceThreshold();
        UpdateDistanceThreshold();
    }
    BuildPairs();
    adjustCOGTransformsFromTransform();
}

void VelmTorCorrICPPoint::DoICPIteration2(bool checkWeights)
{
    const VelmTorCorrICPPointConfig& config = RequireConfiguration("DataLayer::VelmTorCorrICPPoint::DoICPIteration2");
    CheckModelsAvailable();

    if (!checkWeights)
        UpdateTransformation();
    else if (dSumOfPairWeights > static_cast<double>(config.GetMinimumPairWeights()) && bBoundingBoxesOverlap)
        UpdateTransformation();
    ++uiIteration;
}

void VelmTorCorrICPPoint::DoICPIteration()
{
    DoICPIteration1();
    DoICPIteration2(true);
}

bool VelmTorCorrICPPoint::IsFinished()
{
    const VelmTorCorrICPPointConfig& config = RequireConfiguration("DataLayer::VelmTorCorrICPPoint::IsFinished");
    if (uiIteration >= static_cast<uint32_t>(config.GetMaxIterations()))
        return true;
    if (config.GetOffsetThreshold() > dOffset)
        return true;
    if (!(dSumOfPairWeights > static_cast<double>(config.GetMinimumPairWeights())))
        return true;
    return false;
}

void VelmTorCorrICPPoint::CalculateICPTransform()
{
    // Checked before Init, so that a refused call leaves the engine and its result as they were.
    RequireConfiguration("DataLayer::VelmTorCorrICPPoint::CalculateICPTransform");
    CheckModelsAvailable();

    Init();
    do
    {
        DoICPIteration();
    } while (!IsFinished());
    SetResultValues();
}

void VelmTorCorrICPPoint::adjustCOGTransformsFromTransform()
{
    const CbVector3d& c = vPairCentre;
    mToCOG = CbMatrix4Rd::Translation(-c.x, -c.y, -c.z);
    mFromCOG = CbMatrix4Rd::Translation(c.x, c.y, c.z);
    mCOGTransform = mTransform * mToCOG;
    mCenteredTransform = mTransform * mToCOG;
}

void VelmTorCorrICPPoint::adjustTransformFromCOGTransforms()
{
    mTransform = mCOGTransform * mFromCOG;
    mCenteredTransform = mTransform * mToCOG;
}

void VelmTorCorrICPPoint::SetResultValues()
{
    RequireConfiguration("DataLayer::VelmTorCorrICPPoint::SetResultValues");
    CheckModelsAvailable();

    Result& result = *spResult;
    if (bSurfelCountTooLow)
    {
        result.eState = Result::SurfelCountTooLow;
        return;
    }

    ComputeOverlapRepresentation();
    ComputeDegreeOfFreedomDescriptor();

    result.eState = Result::Undefined;
    result.uiNrIterations = uiIteration;
    result.mTransformation = mTransform;
    result.mICPStartTransformation = mStartTransform;
    result.dRMSE = dRMSE;
    result.dSumOfWeights = dSumOfPairWeights;
    result.dOverallSumOfWeights = dOverallSumOfPairWeights;
    result.uiNrDepthImagePairs = uiNrDepthImagePairs;
    result.uiNrFoundPairs = uiNrFoundPairs;
    result.dFinalDistanceThreshold = dDistanceThreshold;
    result.dOffset = dOffset;
    result.dLastMovement = dLastMovement;
    result.dRelativeMovement = dRelativeMovement;

    const bool success = IsSuccesful();

    result.dOverlapQuotient = dOverlapQuotient;
    result.dPairWeightsQuotient = dPairWeightsQuotient;

    if (success)
        result.eState = Result::Success;
    else if (result.eState == Result::Undefined)
        result.eState = bBoundingBoxesOverlap ? Result::Failed : Result::NoOverlap;
}

std::shared_ptr<const VelmTorCorrICPRegistrationResult> VelmTorCorrICPPoint::GetResult()
{
    return spResult;
}

std::shared_ptr<const VelmTorDegreeOfFreedomDescription> VelmTorCorrICPPoint::GetDOFDescriptionFix() const
{
    return spDOFFix;
}

std::shared_ptr<const VelmTorDegreeOfFreedomDescription> VelmTorCorrICPPoint::GetDOFDescriptionFlt() const
{
    return spDOFFlt;
}
} // namespace DataLayer

namespace DataLayer
{
void VelmTorCorrICPPoint::SetThreadCount(uint32_t threads)
{
    spThreadPool = threads > 1 ? std::make_shared<CThreadPool>(threads) : nullptr;
}

void VelmTorCorrICPPoint::SetThreadPool(std::shared_ptr<CThreadPool> pool)
{
    spThreadPool = std::move(pool);
}

uint32_t VelmTorCorrICPPoint::GetThreadCount() const
{
    return spThreadPool ? spThreadPool->GetThreadCount() : 1;
}
} // namespace DataLayer
