#include "SurfelEngineSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <utility>

using namespace SurfelEngineTest;
using DataLayer::VelmTorCorrICPRegistrationResult;
using State = DataLayer::VelmTorCorrICPRegistrationResult::ERegistrationState;

namespace
{
// Two scans of one surface on offset grids; `truth` maps the floating one onto the fixed one.
struct ScanPair
{
    CbMatrix4Rd truth;
    std::unique_ptr<Base::CSurfelCollection> fix, flt;

    explicit ScanPair(const CbMatrix4Rd& motion)
        : truth(motion),
          fix(Collection(Scan(-30.0, -30.0, CbMatrix4Rd()))),
          flt(Collection(Scan(-25.37, -31.61, motion)))
    {
    }
};

const CbMatrix4Rd c_Motions[] = {RigidMotion({1.0, 2.0, 3.0}, 0.05, CbVector3d(1.5, -1.0, 0.8)),
                                 RigidMotion({-2.0, 1.0, 0.5}, 0.07, CbVector3d(-2.0, 0.5, 1.5)),
                                 RigidMotion({0.0, 0.0, 1.0}, -0.04, CbVector3d(0.5, 2.0, -0.7))};

// Owns its configuration, which the engine only refers to.
struct Registration
{
    VelmTorCorrICPPointConfig config;
    VelmTorCorrICPPointSC engine;
    std::shared_ptr<const VelmTorCorrICPRegistrationResult> result;

    Registration(const ScanPair& scans, const VelmTorCorrICPPointConfig& c, const CbMatrix4Rd& start = CbMatrix4Rd())
        : config(c)
    {
        engine.SetConfiguration(config);
        engine.SetModelFix(*scans.fix, nullptr);
        engine.SetModelFloat(*scans.flt, nullptr);
        engine.SetTransform(start);
    }
    const VelmTorCorrICPRegistrationResult& Calculate()
    {
        engine.CalculateICPTransform();
        result = engine.GetResult();
        return *result;
    }
};

// The state and the failure cause, and everything a host reads back from a run, as single values.
std::pair<State, std::wstring> Verdict(const VelmTorCorrICPRegistrationResult& r)
{
    return {r.GetState(), r.GetFailureCause().Str()};
}
auto Outcome(const VelmTorCorrICPRegistrationResult& r)
{
    return std::make_tuple(Verdict(r), r.GetTransformation(), r.GetRMSE(), r.GetNrIterations(), r.GetSumOfWeights());
}
} // namespace

TEST(SurfelEngineEndToEnd, RecoversKnownRigidMotions)
{
    for (const CbMatrix4Rd& motion : c_Motions)
    {
        const ScanPair scans(motion);
        Registration run(scans, SyntheticScans::EngineConfig());
        const VelmTorCorrICPRegistrationResult& result = run.Calculate();
        EXPECT_EQ(Verdict(result), std::make_pair(State::Success, std::wstring()));
        const Eigen::Matrix4d error = AsEigen(result.GetTransformation()) - AsEigen(scans.truth);
        EXPECT_LT(error.topLeftCorner(3, 3).cwiseAbs().maxCoeff(), 1e-4);
        EXPECT_LT(error.col(3).head(3).norm(), 0.002);
        EXPECT_LT(result.GetRMSE(), 0.002);
    }
}

TEST(SurfelEngineEndToEnd, FailureStatesReachedOnPurpose)
{
    const ScanPair scans(c_Motions[0]);
    VelmTorCorrICPPointConfig config = SyntheticScans::EngineConfig();
    config.SetMinimumNumberSurfelsFloat(10000); // the floating scan has 3721
    Registration tooFew(scans, config);
    EXPECT_EQ(Verdict(tooFew.Calculate()), std::make_pair(State::SurfelCountTooLow, std::wstring()));
    EXPECT_EQ(tooFew.result->GetNrIterations(), 0u);

    // Started 500 mm apart the boxes never meet; a negative minimum pair weight lets the empty
    // pairing pass the pair-weight rule, so the missing overlap decides (NaN quotients, no message).
    config = SyntheticScans::EngineConfig();
    config.SetMinimumPairWeights(-1.0f);
    Registration apart(scans, config, CbMatrix4Rd::Translation(500.0, 0.0, 0.0));
    EXPECT_EQ(Verdict(apart.Calculate()), std::make_pair(State::NoOverlap, std::wstring()));
    EXPECT_TRUE(apart.result->GetNrFoundPairs() == 0u && std::isnan(apart.result->GetOverlapQuotient()));
    // With a non-negative minimum the pair-weight rule fires first.
    apart.config.SetMinimumPairWeights(0.0f);
    EXPECT_EQ(
        Verdict(apart.Calculate()),
        std::make_pair(State::OverlapQualityBad, std::wstring(L" fConvergenceSumOfPairWeights=0.000000 (0.000000)")));
}

// Two engines on the same collections at once, stepped by the host, end exactly where the one call ends.
TEST(SurfelEngineEndToEnd, HostControlledLoopsInTwoThreadsAgreeWithTheOneCall)
{
    const ScanPair scans(c_Motions[2]);
    Registration runs[2] = {{scans, SyntheticScans::EngineConfig()}, {scans, SyntheticScans::EngineConfig()}};
    auto loop = [&](bool halves) {
        VelmTorCorrICPPointSC& e = runs[halves].engine;
        e.Init();
        do
            halves ? (e.DoICPIteration1(), e.DoICPIteration2(true)) : e.DoICPIteration();
        while (!e.IsFinished());
        e.SetResultValues();
    };
    std::thread first(loop, false), second(loop, true);
    first.join();
    second.join();
    Registration reference(scans, SyntheticScans::EngineConfig());
    ASSERT_EQ(reference.Calculate().GetState(), State::Success);
    for (Registration& run : runs)
        EXPECT_EQ(Outcome(*run.engine.GetResult()), Outcome(*reference.result));
}

TEST(SurfelEngineEndToEnd, EveryThreadCountGivesTheSameResultBitForBit)
{
    // Two scans of 52 900 surfels; the pairs of every iteration are found on the threads.
    const CbMatrix4Rd motion = RigidMotion({1.0, -2.0, 0.5}, 0.05, CbVector3d(1.0, 0.5, -0.8));
    SyntheticScans::SWindow window{-100.0, -100.0, 230, 230};
    const auto fix = Collection(SyntheticScans::Surfels(SyntheticScans::Scan(window)));
    window.x0 = -95.37, window.y0 = -103.61;
    const auto flt = Collection(SyntheticScans::Surfels(SyntheticScans::Scan(window, motion.Inverted())));
    VelmTorCorrICPPointConfig config = SyntheticScans::EngineConfig();
    config.SetNumberOfPairs(5000);
    std::vector<std::pair<std::wstring, std::vector<double>>> outcomes;
    for (uint32_t threads : {1u, 2u, 3u, 8u})
    {
        VelmTorCorrICPPointSC engine;
        engine.SetThreadCount(threads);
        EXPECT_EQ(engine.GetThreadCount(), threads);
        engine.SetConfiguration(config);
        engine.SetModelFix(*fix, nullptr);
        engine.SetModelFloat(*flt, nullptr);
        engine.CalculateICPTransform();
        const auto result = engine.GetResult();
        EXPECT_EQ(result->GetState(), State::Success) << result->ToString().Str();
        // Every printed digit, and the transformation to the last bit.
        const CbMatrix4Rd& m = result->GetTransformation();
        outcomes.emplace_back(result->ToString().Str(), std::vector<double>(m.e, m.e + 16));
    }
    for (size_t k = 1; k < outcomes.size(); ++k)
        EXPECT_EQ(outcomes[k], outcomes[0]) << k;
}
