#include "DataLayer/EngineRigs.h"

#include <climits>
#include <cstring>
#include <limits>
#include <new>

using namespace EngineTest;

namespace
{
// Values that print as expected only after the dump's conversions (doubles rounded to single
// precision, unsigned counts through %d) and that show which line each field went to.
VelmTorCorrICPPointConfig AwkwardConfig()
{
    VelmTorCorrICPPointConfig c;
    c.SetBoundingBoxBlowup(1.5f), c.SetMaxNumberDepthImagePairs(-7), c.SetNumberOfPairs(3000000000u);
    c.SetInitialDistanceThreshold(123456.789f), c.SetAdaptDistanceThreshold(1);
    c.SetDistanceThresholdAdaptionFactor(2.5f), c.SetSamplingDensity(0.75f), c.SetQueryRadiusThreshold(3.25f);
    c.SetConvergedQueryRadius(-1.0f), c.SetSmoothDistanceThresholding(true), c.SetMaxTransformationUpdates(10);
    c.SetMinImprovement(0.999), c.SetMinStepSize(1e-3), c.SetMaxIterations(50), c.SetOffsetThreshold(16777217.0);
    c.SetMinimumPairWeights(-0.0f), c.SetMaxDOFConditionNumber(1000.0f);
    c.SetMaxRelativeMovement(std::numeric_limits<float>::quiet_NaN()), c.SetNrTestSamples(INT_MIN);
    c.SetOverlapRange(std::numeric_limits<float>::infinity()), c.SetTestRange(0.125f), c.SetCosNormalThreshold(0.8);
    c.SetCurvatureThreshold(1e300), c.SetMinimumOverlapQuotient(0.3), c.SetMinimumWeightsQuotient(123456.789);
    c.SetDefaultResClassErrorThreshold(0.05), c.SetMinimumAbsOverlap(1e-7);
    c.SetMinimumNumberSurfelsFix(4294967295u), c.SetMinimumNumberSurfelsFloat(2147483647u);
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

bool IsAllZero(const VelmTorDegreeOfFreedomDescription& d) // all 51 floats +0
{
    const auto* f = reinterpret_cast<const float*>(&d);
    return std::all_of(f, f + 51, [](float v) { return v == 0.0f && !std::signbit(v); });
}

// Awkward values in the fields a host sets and in those only the engine writes (a derived class may).
struct AwkwardResult : Result
{
    AwkwardResult(std::shared_ptr<VelmTorDegreeOfFreedomDescription> fix,
                  std::shared_ptr<VelmTorDegreeOfFreedomDescription> flt)
    {
        spDOFFix = std::move(fix), spDOFFlt = std::move(flt), bFlag = true;
        SetTransformation(CbMatrix4Rd::Translation(1.0, -2.0, 3.5)), SetState(NotConverged);
        dRMSE = 0.0123;      // millimetres, printed in micrometres
        SetDistance(1.005f); // the float lies just below 1.005
        SetOverlapEstimateInSqrMM(-2.5f), SetBoundaryDistanceInMM(std::numeric_limits<float>::infinity());
        SetMeasureVolumeDistance(std::numeric_limits<float>::quiet_NaN()), SetGeodeticDistance(1234567.0f);
        // Format characters in the cause are text; wide characters pass unchanged.
        SetFailureCause(CString(L" uiIterations=50 (50) 100% \u00B5 %s %d"));
        dOffset = std::numeric_limits<double>::quiet_NaN();
        dLastMovement = 16777217.0; // printed at full double precision
        dRelativeMovement = 1e-7, uiNrIterations = 4294967295u, dLastChgRmse = -0.0, dOverlapQuotient = 0.5;
        dPairWeightsQuotient = 2.0 / 3.0, uiNrDepthImagePairs = 1, uiNrFoundPairs = 2147483648u;
        dSumOfWeights = 1e20, dOverallSumOfWeights = 1234.5678906;
        dSumOfCurvature = 0.125, dFinalDistanceThreshold = 0.25; // the curvature over an overall sum of 0
    }
    static bool Flag(const Result& r) { return r.*(&AwkwardResult::bFlag); }
};
} // namespace

// Default-initialised on garbage storage, so that a field without an initialiser shows up.
TEST(VelmTorCorrICPPointConfig, DefaultRecordIsAllZeroAndAwkwardValuesDumpConvertedAndSurviveCopyAndMove)
{
    alignas(VelmTorCorrICPPointConfig) unsigned char storage[sizeof(VelmTorCorrICPPointConfig)];
    std::memset(storage, 0xA5, sizeof(storage));
    const auto* c = new (storage) VelmTorCorrICPPointConfig;
    EXPECT_EQ(c->ToString().Str(),
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

    VelmTorCorrICPPointConfig source = AwkwardConfig();
    EXPECT_EQ(source.ToString().Str(), kAwkwardDump);
    // Only the dump rounds.
    EXPECT_TRUE(source.GetOffsetThreshold() == 16777217.0 && source.GetMinimumNumberSurfelsFix() == 4294967295u);

    VelmTorCorrICPPointConfig moved(std::move(source)), assigned = AwkwardConfig(), copied;
    assigned = VelmTorCorrICPPointConfig(); // replaces every field of a target that held values
    EXPECT_EQ(assigned.ToString().Str(), VelmTorCorrICPPointConfig().ToString().Str());
    assigned = std::move(source), copied = moved;
    for (const VelmTorCorrICPPointConfig* c : {&moved, &assigned, &copied, &source})
        EXPECT_EQ(c->ToString().Str(), kAwkwardDump);
}

TEST(VelmTorCorrICPRegistrationResult, DefaultAndAwkwardRecordsDumpExactlyCopiesShareDescriptionsAndStateNames)
{
    alignas(Result) unsigned char storage[sizeof(Result)];
    std::memset(storage, 0x5A, sizeof(storage));
    const auto* r = new (storage) Result;
    EXPECT_TRUE(r->GetTransformation() == CbMatrix4Rd::Identity() &&
                r->GetICPStartTransformation() == CbMatrix4Rd::Identity() && !AwkwardResult::Flag(*r));
    EXPECT_TRUE(r->GetSamplePoints().GetSigmaScale() == 0.0f && r->GetOverlapCentroid().GetCentre() == CbVector3d());
    // Without descriptions both accessors answer an all-zero record instead of failing.
    EXPECT_TRUE(IsAllZero(r->GetDegreeOfFreedomDescriptionFix()) && IsAllZero(r->GetDegreeOfFreedomDescriptionFlt()));
    EXPECT_TRUE(std::isnan(r->GetWeightsQuotient()) && std::isnan(r->GetCurvatureQuotient()));
    EXPECT_EQ(r->ToString().Str(),
              L"ICP Result: state=Undefined, rmse=0.00\u00B5m, dist=0.00mm, overlapInMM^2=0.00, "
              L"bdrDistInMM=0.00, distMV=0.00, distGeod=0.00, FailCause= offset=0.000000, "
              L"lastMovement=0.000000, relMovement=0.000000, #iter=0, chgRmse=0.000000, "
              L"lastChgRmse=0.000000, ovlQuotient=0.000000, pairWtsQuotient=0.000000, #depthImg=0, "
              L"#pairs=0, cvgSumWts=0.000000, cvgOvlSumWts=0.000000, sumCurvt=0.000000, "
              L"ovlSumCurvt=0.000000, finalDstThrs=0.000000, ");
    r->~Result();

    alignas(VelmTorDegreeOfFreedomDescription) unsigned char raw[sizeof(VelmTorDegreeOfFreedomDescription)];
    std::memset(raw, 0xFF, sizeof(raw));
    auto* d = new (raw) VelmTorDegreeOfFreedomDescription;
    EXPECT_TRUE(IsAllZero(*d));
    d->aEigenVectors[1][0] = 7.0f; // [vector][component], vector after vector, after the scale
    EXPECT_EQ(reinterpret_cast<const float*>(d)[1 + 6], 7.0f);

    auto fix = std::make_shared<VelmTorDegreeOfFreedomDescription>();
    auto flt = std::make_shared<VelmTorDegreeOfFreedomDescription>();
    AwkwardResult source(fix, flt);
    const std::wstring dump =
        L"ICP Result: state=NotConverged, rmse=12.30\u00B5m, dist=1.00mm, overlapInMM^2=-2.50, "
        L"bdrDistInMM=inf, distMV=nan, distGeod=1234567.00, "
        L"FailCause= uiIterations=50 (50) 100% \u00B5 %s %d offset=nan, lastMovement=16777217.000000, "
        L"relMovement=0.000000, #iter=-1, chgRmse=0.000000, lastChgRmse=-0.000000, "
        L"ovlQuotient=0.500000, pairWtsQuotient=0.666667, #depthImg=1, #pairs=-2147483648, "
        L"cvgSumWts=100000000000000000000.000000, cvgOvlSumWts=1234.567891, sumCurvt=0.125000, "
        L"ovlSumCurvt=0.000000, finalDstThrs=0.250000, ";
    // Sum over overall sum, unguarded.
    EXPECT_EQ(source.GetWeightsQuotient(), 1e20 / 1234.5678906);
    EXPECT_EQ(source.GetCurvatureQuotient(), std::numeric_limits<double>::infinity());

    Result& sourceBase = source;
    Result copy(sourceBase), assigned, moveAssigned;
    assigned = sourceBase;
    Result moved(std::move(sourceBase));
    moveAssigned = std::move(sourceBase);
    for (const Result* r : {&copy, &assigned, &moved, &moveAssigned, &sourceBase})
        EXPECT_EQ(std::tuple(r->ToString().Str(), &r->GetDegreeOfFreedomDescriptionFix(),
                             &r->GetDegreeOfFreedomDescriptionFlt(), AwkwardResult::Flag(*r), r->GetTransformation()),
                  std::tuple(dump, fix.get(), flt.get(), true, CbMatrix4Rd::Translation(1.0, -2.0, 3.5)));
    EXPECT_EQ(fix.use_count(), 6); // fix, source, copy, assigned, moved, moveAssigned

    // State names, and the state and success read through the const view the engine hands out.
    auto state = std::make_shared<Result>();
    const std::shared_ptr<const Result> view = state;
    std::wstring names;
    for (int32_t s = -5; s <= 13; ++s)
    {
        names += Result::GetStateName(static_cast<State>(s)).Str() + L" ", state->SetState(static_cast<State>(s));
        EXPECT_TRUE(view->GetState() == s && view->GetSuccess() == (s == 2)) << "state " << s;
    }
    EXPECT_EQ(names, L"undef Discarded Undefined NoOverlap Failed Ready Improve Success Started NotConverged "
                     L"TooManyDOF OverlapQualityBad MovingTooFast ConsolidatedNeedsReevaluation OnlyOverlapComputed "
                     L"OverlapTooSmall DeviationFromGlobalVoteTooLarge SurfelCountTooLow undef ");
    for (int32_t s : {INT32_MAX, INT32_MAX - 3, INT32_MIN, INT32_MIN + 4})
        EXPECT_EQ(Result::GetStateName(static_cast<State>(s)).Str(), L"undef") << "state " << s;
}
