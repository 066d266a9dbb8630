#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>

using DataLayer::VelmTorCorrICPRegistrationResult;
using DataLayer::VelmTorDegreeOfFreedomDescription;
using Result = VelmTorCorrICPRegistrationResult;
using State = Result::ERegistrationState;

namespace
{
std::wstring Name(int32_t state)
{
    return Result::GetStateName(static_cast<State>(state)).GetString();
}

std::wstring Dump(const Result& r)
{
    return r.ToString().GetString();
}

bool IsAllZero(const VelmTorDegreeOfFreedomDescription& d)
{
    const auto* f = reinterpret_cast<const float*>(&d);
    return std::all_of(f, f + 51, [](float v) { return v == 0.0f && !std::signbit(v); });
}

// Awkward values in the fields a host sets and in those only the engine writes (a derived class may).
struct AwkwardResult : Result
{
    explicit AwkwardResult(std::shared_ptr<VelmTorDegreeOfFreedomDescription> fix = nullptr,
                           std::shared_ptr<VelmTorDegreeOfFreedomDescription> flt = nullptr)
    {
        spDOFFix = std::move(fix);
        spDOFFlt = std::move(flt);
        bFlag = true;
        SetTransformation(CbMatrix4Rd::Translation(1.0, -2.0, 3.5));
        SetState(NotConverged);
        dRMSE = 0.0123; // millimetres, printed in micrometres
        SetDistance(1.005f); // the float lies just below 1.005
        SetOverlapEstimateInSqrMM(-2.5f);
        SetBoundaryDistanceInMM(std::numeric_limits<float>::infinity());
        SetMeasureVolumeDistance(std::numeric_limits<float>::quiet_NaN());
        SetGeodeticDistance(1234567.0f);
        // Format characters in the cause are text; wide characters pass unchanged.
        SetFailureCause(CString(L" uiIterations=50 (50) 100% \u00B5 %s %d"));
        dOffset = std::numeric_limits<double>::quiet_NaN();
        dLastMovement = 16777217.0; // printed at full double precision
        dRelativeMovement = 1e-7;
        uiNrIterations = 4294967295u;
        dLastChgRmse = -0.0;
        dOverlapQuotient = 0.5;
        dPairWeightsQuotient = 2.0 / 3.0;
        uiNrDepthImagePairs = 1;
        uiNrFoundPairs = 2147483648u;
        dSumOfWeights = 1e20;
        dOverallSumOfWeights = 1234.5678906;
        dSumOfCurvature = 0.125; // over an overall sum of 0
        dFinalDistanceThreshold = 0.25;
    }
    static bool Flag(const Result& r) { return r.*(&AwkwardResult::bFlag); }
};
} // namespace

TEST(VelmTorCorrICPRegistrationResult, StateNamesAndSuccess)
{
    const wchar_t* const expected[17] = {
        L"Discarded", L"Undefined", L"NoOverlap", L"Failed", L"Ready", L"Improve", L"Success", L"Started",
        L"NotConverged", L"TooManyDOF", L"OverlapQualityBad", L"MovingTooFast", L"ConsolidatedNeedsReevaluation",
        L"OnlyOverlapComputed", L"OverlapTooSmall", L"DeviationFromGlobalVoteTooLarge", L"SurfelCountTooLow"};
    for (int32_t s = -4; s <= 12; ++s)
        EXPECT_EQ(Name(s), expected[s + 4]) << "state " << s;
    for (int32_t s : {13, -5, INT32_MAX, INT32_MAX - 3, INT32_MIN, INT32_MIN + 4})
        EXPECT_EQ(Name(s), L"undef") << "state " << s;
    EXPECT_EQ(Name(Result::Discarded), L"Discarded");
    EXPECT_EQ(Name(Result::SurfelCountTooLow), L"SurfelCountTooLow");

    // The state is readable through the const view the engine hands out.
    auto r = std::make_shared<Result>();
    const std::shared_ptr<const Result> view = r;
    for (int32_t s = -5; s <= 13; ++s)
    {
        r->SetState(static_cast<State>(s));
        EXPECT_EQ(view->GetState(), s);
        EXPECT_EQ(view->GetSuccess(), s == 2) << "state " << s;
    }
    EXPECT_EQ(Dump(*view).rfind(L"ICP Result: state=undef, rmse=", 0), 0u);
}

TEST(VelmTorCorrICPRegistrationResult, DefaultRecordIsDefinedAndDumpsExactly)
{
    // Built on garbage storage so that a field the constructor forgets shows up.
    alignas(Result) unsigned char storage[sizeof(Result)];
    std::fill(std::begin(storage), std::end(storage), static_cast<unsigned char>(0x5A));
    const auto* r = new (storage) Result();

    EXPECT_EQ(r->GetState(), Result::Undefined);
    EXPECT_EQ(r->GetTransformation(), CbMatrix4Rd::Identity());
    EXPECT_EQ(r->GetICPStartTransformation(), CbMatrix4Rd::Identity());
    EXPECT_FALSE(AwkwardResult::Flag(*r));
    EXPECT_EQ(r->GetSamplePoints().GetSigmaScale(), 0.0f);
    EXPECT_EQ(r->GetOverlapCentroid().GetCentre(), CbVector3d());
    // Without descriptions both accessors answer an all-zero record instead of failing.
    EXPECT_TRUE(IsAllZero(r->GetDegreeOfFreedomDescriptionFix()));
    EXPECT_TRUE(IsAllZero(r->GetDegreeOfFreedomDescriptionFlt()));
    EXPECT_TRUE(std::isnan(r->GetWeightsQuotient()));
    EXPECT_TRUE(std::isnan(r->GetCurvatureQuotient()));
    EXPECT_EQ(Dump(*r), L"ICP Result: state=Undefined, rmse=0.00\u00B5m, dist=0.00mm, overlapInMM^2=0.00, "
                        L"bdrDistInMM=0.00, distMV=0.00, distGeod=0.00, FailCause= offset=0.000000, "
                        L"lastMovement=0.000000, relMovement=0.000000, #iter=0, chgRmse=0.000000, "
                        L"lastChgRmse=0.000000, ovlQuotient=0.000000, pairWtsQuotient=0.000000, #depthImg=0, "
                        L"#pairs=0, cvgSumWts=0.000000, cvgOvlSumWts=0.000000, sumCurvt=0.000000, "
                        L"ovlSumCurvt=0.000000, finalDstThrs=0.000000, ");
    r->~Result();
}

TEST(VelmTorCorrICPRegistrationResult, DumpOfAwkwardValuesAndUnguardedQuotients)
{
    AwkwardResult r;
    EXPECT_EQ(Dump(r),
              L"ICP Result: state=NotConverged, rmse=12.30\u00B5m, dist=1.00mm, overlapInMM^2=-2.50, "
              L"bdrDistInMM=inf, distMV=nan, distGeod=1234567.00, "
              L"FailCause= uiIterations=50 (50) 100% \u00B5 %s %d offset=nan, lastMovement=16777217.000000, "
              L"relMovement=0.000000, #iter=-1, chgRmse=0.000000, lastChgRmse=-0.000000, "
              L"ovlQuotient=0.500000, pairWtsQuotient=0.666667, #depthImg=1, #pairs=-2147483648, "
              L"cvgSumWts=100000000000000000000.000000, cvgOvlSumWts=1234.567891, sumCurvt=0.125000, "
              L"ovlSumCurvt=0.000000, finalDstThrs=0.250000, ");

    // Sum over overall sum, unguarded.
    EXPECT_EQ(r.GetWeightsQuotient(), 1e20 / 1234.5678906);
    EXPECT_EQ(r.GetCurvatureQuotient(), std::numeric_limits<double>::infinity());
}

TEST(VelmTorCorrICPRegistrationResult, CopiesShareDescriptionsAndMovingKeepsTheSource)
{
    auto fix = std::make_shared<VelmTorDegreeOfFreedomDescription>();
    auto flt = std::make_shared<VelmTorDegreeOfFreedomDescription>();
    AwkwardResult source(fix, flt);
    const std::wstring sourceDump = Dump(source);

    Result& sourceBase = source;
    Result copy(sourceBase);
    Result assigned;
    assigned = sourceBase;
    Result moved(std::move(sourceBase));
    Result moveAssigned;
    moveAssigned = std::move(sourceBase);
    for (const Result* r : {&copy, &assigned, &moved, &moveAssigned, &sourceBase})
    {
        EXPECT_EQ(Dump(*r), sourceDump);
        EXPECT_EQ(&r->GetDegreeOfFreedomDescriptionFix(), fix.get());
        EXPECT_EQ(&r->GetDegreeOfFreedomDescriptionFlt(), flt.get());
        EXPECT_EQ(r->GetTransformation(), CbMatrix4Rd::Translation(1.0, -2.0, 3.5));
        EXPECT_TRUE(AwkwardResult::Flag(*r));
    }
    EXPECT_EQ(fix.use_count(), 6); // fix, source, copy, assigned, moved, moveAssigned
}

TEST(VelmTorDegreeOfFreedomDescription, NewDescriptionIsZeroInEveryField)
{
    alignas(VelmTorDegreeOfFreedomDescription) unsigned char storage[sizeof(VelmTorDegreeOfFreedomDescription)];
    std::fill(std::begin(storage), std::end(storage), static_cast<unsigned char>(0xFF));
    auto* d = new (storage) VelmTorDegreeOfFreedomDescription();
    EXPECT_TRUE(IsAllZero(*d));
    // Eigenvector rows are vectors: [vector][component] lies vector after vector.
    d->aEigenVectors[1][0] = 7.0f;
    EXPECT_EQ(reinterpret_cast<const float*>(d)[1 + 6], 7.0f);
    d->~VelmTorDegreeOfFreedomDescription();
}
