#include "DataLayer/EngineRigs.h"

#include <thread>

using namespace EngineTest;

namespace
{
// Two scans of n x n surfels 1 mm apart on offset grids of one surface, the floating one moved by `motion`.
struct ScanPair
{
    std::unique_ptr<CSurfelCollection> fix, flt;

    explicit ScanPair(const CbMatrix4Rd& motion, int n = 61, double x0 = -30.0, double y0 = -30.0, double xf = -25.37,
                      double yf = -31.61)
        : fix(Collection(SyntheticScans::Surfels(SyntheticScans::Scan({x0, y0, n, n}, CbMatrix4Rd())))),
          flt(Collection(SyntheticScans::Surfels(SyntheticScans::Scan({xf, yf, n, n}, motion.Inverted()))))
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
    std::shared_ptr<const Result> result;

    Registration(const ScanPair& scans, const VelmTorCorrICPPointConfig& c = SyntheticScans::EngineConfig(),
                 const CbMatrix4Rd& start = CbMatrix4Rd())
        : config(c)
    {
        engine.SetConfiguration(config);
        engine.SetModelFix(*scans.fix, nullptr), engine.SetModelFloat(*scans.flt, nullptr), engine.SetTransform(start);
    }
    const Result& Calculate() { return engine.CalculateICPTransform(), *(result = engine.GetResult()); }
};

// The state and the failure cause, and everything a host reads back from a run, as single values.
std::pair<State, std::wstring> Verdict(const Result& r)
{
    return {r.GetState(), r.GetFailureCause().Str()};
}
auto Outcome(const Result& r)
{
    return std::make_tuple(Verdict(r), r.GetTransformation(), r.GetRMSE(), r.GetNrIterations(), r.GetSumOfWeights());
}
} // namespace

// Two more engines on the same collections at once, stepped by the host, end exactly where the one call ends.
TEST(SurfelEngineEndToEnd, RecoversKnownRigidMotionsAlsoWhenTheHostStepsTwoEnginesInThreads)
{
    for (const CbMatrix4Rd& motion : c_Motions)
    {
        const ScanPair scans(motion);
        Registration run(scans), runs[2] = {Registration(scans), Registration(scans)};
        auto loop = [&](bool halves) {
            VelmTorCorrICPPointSC& e = runs[halves].engine;
            e.Init();
            do
                halves ? (e.DoICPIteration1(), e.DoICPIteration2(true)) : e.DoICPIteration();
            while (!e.IsFinished());
            e.SetResultValues();
        };
        std::thread first(loop, false), second(loop, true);
        const Result& result = run.Calculate();
        first.join(), second.join();
        EXPECT_EQ(Verdict(result), std::make_pair(State::Success, std::wstring()));
        const Eigen::Matrix4d error = AsEigen(result.GetTransformation()) - AsEigen(motion);
        EXPECT_LT(error.topLeftCorner(3, 3).cwiseAbs().maxCoeff(), 1e-4);
        EXPECT_LT(error.col(3).head(3).norm(), 0.002);
        EXPECT_LT(result.GetRMSE(), 0.002);
        for (Registration& host : runs)
            EXPECT_EQ(Outcome(*host.engine.GetResult()), Outcome(result));
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
    (config = SyntheticScans::EngineConfig()).SetMinimumPairWeights(-1.0f);
    Registration apart(scans, config, CbMatrix4Rd::Translation(500.0, 0.0, 0.0));
    EXPECT_EQ(Verdict(apart.Calculate()), std::make_pair(State::NoOverlap, std::wstring()));
    EXPECT_TRUE(apart.result->GetNrFoundPairs() == 0u && std::isnan(apart.result->GetOverlapQuotient()));
    // With a non-negative minimum the pair-weight rule fires first.
    apart.config.SetMinimumPairWeights(0.0f);
    EXPECT_EQ(
        Verdict(apart.Calculate()),
        std::make_pair(State::OverlapQualityBad, std::wstring(L" fConvergenceSumOfPairWeights=0.000000 (0.000000)")));
}

TEST(SurfelEngineEndToEnd, EveryThreadCountGivesTheSameResultBitForBit)
{
    // Two scans of 52 900 surfels; the pairs of every iteration are found on the threads.
    const ScanPair scans(RigidMotion({1.0, -2.0, 0.5}, 0.05, CbVector3d(1.0, 0.5, -0.8)), 230, -100.0, -100.0, -95.37,
                         -103.61);
    VelmTorCorrICPPointConfig config = SyntheticScans::EngineConfig();
    config.SetNumberOfPairs(5000);
    Registration one(scans, config);
    one.engine.SetThreadCount(1);
    ASSERT_EQ(one.Calculate().GetState(), State::Success) << one.result->ToString().Str();
    for (uint32_t threads : {2u, 3u, 8u})
    {
        Registration run(scans, config);
        run.engine.SetThreadCount(threads);
        run.Calculate();
        EXPECT_EQ(run.engine.GetThreadCount(), threads);
        // Every printed digit, and the transformation to the last bit.
        EXPECT_EQ(std::pair(run.result->ToString().Str(), Outcome(*run.result)),
                  std::pair(one.result->ToString().Str(), Outcome(*one.result)));
    }
}
