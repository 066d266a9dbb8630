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
using State = VelmTorCorrICPRegistrationResult::ERegistrationState;

namespace
{
// Exposes the members that only the engine writes, as the engine sees them.
class EngineWrittenResult : public VelmTorCorrICPRegistrationResult
{
public:
    using VelmTorCorrICPRegistrationResult::bFlag;
    using VelmTorCorrICPRegistrationResult::dChgRmse;
    using VelmTorCorrICPRegistrationResult::dFinalDistanceThreshold;
    using VelmTorCorrICPRegistrationResult::dLastChgRmse;
    using VelmTorCorrICPRegistrationResult::dLastMovement;
    using VelmTorCorrICPRegistrationResult::dOffset;
    using VelmTorCorrICPRegistrationResult::dOverallSumOfCurvature;
    using VelmTorCorrICPRegistrationResult::dOverallSumOfWeights;
    using VelmTorCorrICPRegistrationResult::dOverlapQuotient;
    using VelmTorCorrICPRegistrationResult::dPairWeightsQuotient;
    using VelmTorCorrICPRegistrationResult::dRelativeMovement;
    using VelmTorCorrICPRegistrationResult::dRMSE;
    using VelmTorCorrICPRegistrationResult::dSumOfCurvature;
    using VelmTorCorrICPRegistrationResult::dSumOfWeights;
    using VelmTorCorrICPRegistrationResult::spDOFFix;
    using VelmTorCorrICPRegistrationResult::spDOFFlt;
    using VelmTorCorrICPRegistrationResult::uiNrDepthImagePairs;
    using VelmTorCorrICPRegistrationResult::uiNrFoundPairs;
    using VelmTorCorrICPRegistrationResult::uiNrIterations;
};

std::wstring Name(int32_t state)
{
    return VelmTorCorrICPRegistrationResult::GetStateName(static_cast<State>(state)).GetString();
}

std::wstring Dump(const VelmTorCorrICPRegistrationResult& r)
{
    return r.ToString().GetString();
}

bool IsAllZero(const VelmTorDegreeOfFreedomDescription& d)
{
    const auto* f = reinterpret_cast<const float*>(&d);
    return std::all_of(f, f + 51, [](float v) { return v == 0.0f && !std::signbit(v); });
}

CbMatrix4Rd SomeMotion()
{
    CbMatrix4Rd m = CbMatrix4Rd::Translation(1.0, -2.0, 3.5);
    m[0] = 0.0;
    m[1] = 1.0;
    m[4] = -1.0;
    m[5] = 0.0;
    return m;
}
} // namespace

TEST(VelmTorCorrICPRegistrationResult, StateNames)
{
    const wchar_t* const expected[17] = {
        L"Discarded", L"Undefined", L"NoOverlap", L"Failed", L"Ready", L"Improve", L"Success", L"Started",
        L"NotConverged", L"TooManyDOF", L"OverlapQualityBad", L"MovingTooFast", L"ConsolidatedNeedsReevaluation",
        L"OnlyOverlapComputed", L"OverlapTooSmall", L"DeviationFromGlobalVoteTooLarge", L"SurfelCountTooLow"};
    for (int32_t s = -4; s <= 12; ++s)
        EXPECT_EQ(Name(s), expected[s + 4]) << "state " << s;

    for (int32_t s : {13, -5, 100, -100, INT32_MAX, INT32_MAX - 3, INT32_MIN, INT32_MIN + 4})
        EXPECT_EQ(Name(s), L"undef") << "state " << s;

    // The enumerators carry the values the names belong to.
    EXPECT_EQ(Name(VelmTorCorrICPRegistrationResult::Discarded), L"Discarded");
    EXPECT_EQ(Name(VelmTorCorrICPRegistrationResult::Success), L"Success");
    EXPECT_EQ(Name(VelmTorCorrICPRegistrationResult::MovingTooFast), L"MovingTooFast");
    EXPECT_EQ(Name(VelmTorCorrICPRegistrationResult::SurfelCountTooLow), L"SurfelCountTooLow");

    // The dump prints the same names, out-of-range ones included.
    VelmTorCorrICPRegistrationResult r;
    r.SetState(static_cast<State>(13));
    EXPECT_EQ(Dump(r).rfind(L"ICP Result: state=undef, rmse=", 0), 0u);
    r.SetState(VelmTorCorrICPRegistrationResult::OverlapQualityBad);
    EXPECT_EQ(Dump(r).rfind(L"ICP Result: state=OverlapQualityBad, rmse=", 0), 0u);
}

TEST(VelmTorCorrICPRegistrationResult, SuccessOnlyForStateSuccess)
{
    VelmTorCorrICPRegistrationResult r;
    for (int32_t s = -5; s <= 13; ++s)
    {
        r.SetState(static_cast<State>(s));
        EXPECT_EQ(r.GetState(), s);
        EXPECT_EQ(r.GetSuccess(), s == 2) << "state " << s;
    }
}

TEST(VelmTorCorrICPRegistrationResult, DefaultRecordIsDefinedAndDumpsExactly)
{
    // Built on garbage storage so that a field the constructor forgets shows up.
    alignas(VelmTorCorrICPRegistrationResult) unsigned char storage[sizeof(VelmTorCorrICPRegistrationResult)];
    std::fill(std::begin(storage), std::end(storage), static_cast<unsigned char>(0x5A));
    auto* r = new (storage) VelmTorCorrICPRegistrationResult();

    EXPECT_EQ(r->GetState(), VelmTorCorrICPRegistrationResult::Undefined);
    EXPECT_FALSE(r->GetSuccess());
    EXPECT_TRUE(r->GetFailureCause().IsEmpty());
    EXPECT_EQ(r->GetRMSE(), 0.0);
    EXPECT_EQ(r->GetTransformation(), CbMatrix4Rd::Identity());
    EXPECT_EQ(r->GetICPStartTransformation(), CbMatrix4Rd::Identity());
    EXPECT_EQ(r->GetDistance(), 0.0f);
    EXPECT_EQ(r->GetOverlapEstimateInSqrMM(), 0.0f);
    EXPECT_EQ(r->GetBoundaryDistanceInMM(), 0.0f);
    EXPECT_EQ(r->GetMeasureVolumeDistance(), 0.0f);
    EXPECT_EQ(r->GetGeodeticDistance(), 0.0f);
    EXPECT_FALSE(static_cast<EngineWrittenResult*>(r)->bFlag);
    EXPECT_EQ(r->GetSamplePoints().GetSigmaScale(), 0.0f);
    EXPECT_EQ(r->GetOverlapCentroid().GetCentre(), CbVector3d());
    EXPECT_EQ(r->GetNrIterations(), 0u);
    EXPECT_EQ(r->GetNrDepthImagePairs(), 0u);
    EXPECT_EQ(r->GetNrFoundPairs(), 0u);
    EXPECT_EQ(r->GetOffset(), 0.0);
    EXPECT_EQ(r->GetRelativeMovement(), 0.0);
    EXPECT_EQ(r->GetOverlapQuotient(), 0.0);
    EXPECT_EQ(r->GetPairWeightsQuotient(), 0.0);
    EXPECT_EQ(r->GetSumOfWeights(), 0.0);
    EXPECT_EQ(r->GetOverallSumOfWeights(), 0.0);
    EXPECT_EQ(r->GetSumOfCurvature(), 0.0);
    EXPECT_EQ(r->GetOverallSumOfCurvature(), 0.0);
    EXPECT_EQ(r->GetFinalDistanceThreshold(), 0.0);
    // Without descriptions both accessors answer an all-zero record instead of failing.
    EXPECT_TRUE(IsAllZero(r->GetDegreeOfFreedomDescriptionFix()));
    EXPECT_TRUE(IsAllZero(r->GetDegreeOfFreedomDescriptionFlt()));

    EXPECT_EQ(Dump(*r), L"ICP Result: state=Undefined, rmse=0.00\u00B5m, dist=0.00mm, overlapInMM^2=0.00, "
                        L"bdrDistInMM=0.00, distMV=0.00, distGeod=0.00, FailCause= offset=0.000000, "
                        L"lastMovement=0.000000, relMovement=0.000000, #iter=0, chgRmse=0.000000, "
                        L"lastChgRmse=0.000000, ovlQuotient=0.000000, pairWtsQuotient=0.000000, #depthImg=0, "
                        L"#pairs=0, cvgSumWts=0.000000, cvgOvlSumWts=0.000000, sumCurvt=0.000000, "
                        L"ovlSumCurvt=0.000000, finalDstThrs=0.000000, ");
    r->~VelmTorCorrICPRegistrationResult();
}

TEST(VelmTorCorrICPRegistrationResult, DumpOfAwkwardValues)
{
    EngineWrittenResult r;
    r.SetState(VelmTorCorrICPRegistrationResult::NotConverged);
    r.dRMSE = 0.0123;                  // millimetres, printed in micrometres
    r.SetDistance(1.005f);             // the float is just below 1.005
    r.SetOverlapEstimateInSqrMM(-2.5f);
    r.SetBoundaryDistanceInMM(std::numeric_limits<float>::infinity());
    r.SetMeasureVolumeDistance(std::numeric_limits<float>::quiet_NaN());
    r.SetGeodeticDistance(1234567.0f);
    // Format characters in the cause are text, not conversions; wide characters pass unchanged.
    r.SetFailureCause(CString(L" uiIterations=50 (50) 100% \u00B5 %s %d"));
    r.dOffset = std::numeric_limits<double>::quiet_NaN();
    r.dLastMovement = 16777217.0; // printed at full double precision
    r.dRelativeMovement = 1e-7;
    r.uiNrIterations = 4294967295u;
    r.dChgRmse = 0.0;
    r.dLastChgRmse = -0.0;
    r.dOverlapQuotient = 0.5;
    r.dPairWeightsQuotient = 2.0 / 3.0;
    r.uiNrDepthImagePairs = 1;
    r.uiNrFoundPairs = 2147483648u;
    r.dSumOfWeights = 1e20;
    r.dOverallSumOfWeights = 1234.5678906;
    r.dSumOfCurvature = 0.0;
    r.dOverallSumOfCurvature = 0.0;
    r.dFinalDistanceThreshold = 0.25;

    const std::wstring text = Dump(r);
    EXPECT_EQ(text, L"ICP Result: state=NotConverged, rmse=12.30\u00B5m, dist=1.00mm, overlapInMM^2=-2.50, "
                    L"bdrDistInMM=inf, distMV=nan, distGeod=1234567.00, "
                    L"FailCause= uiIterations=50 (50) 100% \u00B5 %s %d offset=nan, lastMovement=16777217.000000, "
                    L"relMovement=0.000000, #iter=-1, chgRmse=0.000000, lastChgRmse=-0.000000, "
                    L"ovlQuotient=0.500000, pairWtsQuotient=0.666667, #depthImg=1, #pairs=-2147483648, "
                    L"cvgSumWts=100000000000000000000.000000, cvgOvlSumWts=1234.567891, sumCurvt=0.000000, "
                    L"ovlSumCurvt=0.000000, finalDstThrs=0.250000, ");
    EXPECT_EQ(text.find(L'\n'), std::wstring::npos);
}

TEST(VelmTorCorrICPRegistrationResult, QuotientsAreUnguarded)
{
    EngineWrittenResult r;
    EXPECT_TRUE(std::isnan(r.GetWeightsQuotient()));
    EXPECT_TRUE(std::isnan(r.GetCurvatureQuotient()));

    r.dSumOfWeights = 3.0;
    EXPECT_EQ(r.GetWeightsQuotient(), std::numeric_limits<double>::infinity());
    r.dOverallSumOfWeights = 4.0;
    EXPECT_EQ(r.GetWeightsQuotient(), 0.75);

    // Sum over overall sum, not the other way round.
    r.dSumOfCurvature = 1.0;
    r.dOverallSumOfCurvature = 8.0;
    EXPECT_EQ(r.GetCurvatureQuotient(), 0.125);
}

TEST(VelmTorCorrICPRegistrationResult, CopiesShareDescriptionsAndMovingKeepsTheSource)
{
    auto fix = std::make_shared<VelmTorDegreeOfFreedomDescription>();
    fix->fScale = 0.5f;
    fix->aEigenValues[0] = 9.0f;
    fix->aEigenVectors[2][4] = 1.0f;
    fix->vCentre = CbVector3f(1.0f, 2.0f, 3.0f);
    auto flt = std::make_shared<VelmTorDegreeOfFreedomDescription>();
    flt->fScale = 2.0f;

    EngineWrittenResult source;
    source.spDOFFix = fix;
    source.spDOFFlt = flt;
    source.dRMSE = 0.02;
    source.uiNrFoundPairs = 77;
    source.bFlag = true;
    source.SetState(VelmTorCorrICPRegistrationResult::Success);
    source.SetFailureCause(CString(L" fMinError=0.020000 (0.010000)"));
    source.SetTransformation(SomeMotion());
    const std::wstring sourceDump = Dump(source);

    const VelmTorCorrICPRegistrationResult copy(source);
    EXPECT_EQ(&copy.GetDegreeOfFreedomDescriptionFix(), fix.get());
    EXPECT_EQ(&copy.GetDegreeOfFreedomDescriptionFlt(), flt.get());
    EXPECT_EQ(copy.GetDegreeOfFreedomDescriptionFix().aEigenVectors[2][4], 1.0f);
    EXPECT_EQ(Dump(copy), sourceDump);

    VelmTorCorrICPRegistrationResult assigned;
    assigned = source;
    EXPECT_EQ(&assigned.GetDegreeOfFreedomDescriptionFix(), &source.GetDegreeOfFreedomDescriptionFix());
    EXPECT_EQ(Dump(assigned), sourceDump);
    EXPECT_TRUE(static_cast<EngineWrittenResult&>(assigned).bFlag);

    VelmTorCorrICPRegistrationResult& sourceBase = source;
    VelmTorCorrICPRegistrationResult moved(std::move(sourceBase));
    VelmTorCorrICPRegistrationResult moveAssigned;
    moveAssigned = std::move(sourceBase);
    for (const VelmTorCorrICPRegistrationResult* r : {&moved, &moveAssigned, &sourceBase})
    {
        EXPECT_EQ(Dump(*r), sourceDump);
        EXPECT_EQ(&r->GetDegreeOfFreedomDescriptionFix(), fix.get());
        EXPECT_EQ(&r->GetDegreeOfFreedomDescriptionFlt(), flt.get());
        EXPECT_EQ(r->GetTransformation(), SomeMotion());
    }
    EXPECT_EQ(fix.use_count(), 6); // fix, source, copy, assigned, moved, moveAssigned
}

TEST(VelmTorCorrICPRegistrationResult, HostFieldsRoundTripAndStateReadsThroughConstPointer)
{
    Base::CCovarianceEllipsoid samples;
    samples.Set(CbVector3d(1, 2, 3), CbVector3d(2, 2, 3), CbVector3d(1, 4, 3), CbVector3d(1, 2, 6), 1.0f);
    Base::CCovarianceEllipsoid centroid;
    centroid.Set(CbVector3d(-1, 0, 0), CbVector3d(0, 0, 0), CbVector3d(-1, 1, 0), CbVector3d(-1, 0, 1), -1.0f);

    auto r = std::make_shared<VelmTorCorrICPRegistrationResult>();
    r->SetSamplePoints(samples);
    r->SetOverlapCentroid(centroid);
    r->SetICPStartTransformation(SomeMotion());
    r->SetState(VelmTorCorrICPRegistrationResult::MovingTooFast);

    const std::shared_ptr<const VelmTorCorrICPRegistrationResult> view = r;
    EXPECT_EQ(view->GetState(), VelmTorCorrICPRegistrationResult::MovingTooFast);
    EXPECT_FALSE(view->GetSuccess());
    EXPECT_EQ(view->GetICPStartTransformation(), SomeMotion());
    EXPECT_EQ(view->GetTransformation(), CbMatrix4Rd::Identity());
    EXPECT_EQ(view->GetSamplePoints().GetAxisEnd(1), CbVector3d(1, 4, 3));
    EXPECT_EQ(view->GetSamplePoints().GetSigmaScale(), 1.0f);
    EXPECT_EQ(view->GetOverlapCentroid().GetCentre(), CbVector3d(-1, 0, 0));
    EXPECT_EQ(view->GetOverlapCentroid().GetSigmaScale(), -1.0f);

    // Replacing the failure cause replaces, it does not append.
    r->SetFailureCause(CString(L" a"));
    r->SetFailureCause(CString(L" b"));
    EXPECT_EQ(view->GetFailureCause(), L" b");
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
