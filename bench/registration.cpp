// Speed of the surfel-collection registration: one whole registration of two 40 000-surfel scans
// of a smooth surface started a few millimetres and degrees apart, and one pair building at the
// wide (k-nearest) and at the converged (radius) threshold.

#include "SyntheticScans.h"

#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace
{
// 200 x 200 surfels at 1 mm spacing from (x0, y0) on the synthetic surface, mapped by `toScan`.
std::unique_ptr<Base::CSurfelCollection> Scan(double x0, double y0, const CbMatrix4Rd& toScan)
{
    SyntheticScans::SWindow window;
    window.x0 = x0;
    window.y0 = y0;
    window.cols = window.rows = 200;
    return std::make_unique<Base::CSurfelCollection>(SyntheticScans::Surfels(SyntheticScans::Scan(window, toScan)));
}

struct Scans
{
    CbMatrix4Rd truth = SyntheticScans::Motion(CbVector3d(1, 2, 3), 2.8648, CbVector3d(1.5, -1.0, 0.8));
    std::unique_ptr<Base::CSurfelCollection> fix;
    std::unique_ptr<Base::CSurfelCollection> flt;
    DataLayer::VelmTorCorrICPPointConfig config = SyntheticScans::EngineConfig();

    Scans()
    {
        CbMatrix4Rd inverse = truth;
        inverse.Invert();
        fix = Scan(-100.0, -100.0, CbMatrix4Rd());
        flt = Scan(-90.37, -103.61, inverse);
    }
    static const Scans& Get()
    {
        static const Scans scans;
        return scans;
    }
};

class PairBuildingEngine : public DataLayer::VelmTorCorrICPPointSC
{
public:
    using DataLayer::VelmTorCorrICPPointSC::BuildPairs;
    using DataLayer::VelmTorCorrICPPointSC::SetDistanceThreshold;
    size_t PairCount() const { return vecPairs.size(); }
};

void BM_Registration40k(benchmark::State& state)
{
    const Scans& scans = Scans::Get();
    int successes = 0;
    uint32_t iterations = 0;
    for (auto _ : state)
    {
        DataLayer::VelmTorCorrICPPointSC engine;
        engine.SetConfiguration(scans.config);
        engine.SetModelFix(*scans.fix, nullptr);
        engine.SetModelFloat(*scans.flt, nullptr);
        engine.CalculateICPTransform();
        const auto result = engine.GetResult();
        successes += result->GetSuccess() ? 1 : 0;
        iterations = result->GetNrIterations();
        benchmark::DoNotOptimize(result->GetRMSE());
    }
    state.counters["success"] = benchmark::Counter(successes, benchmark::Counter::kAvgIterations);
    state.counters["icp_iterations"] = iterations;
}
BENCHMARK(BM_Registration40k)->Unit(benchmark::kMillisecond);

// range(0): the distance threshold; 5 mm lies above fQueryRadiusThreshold (six nearest neighbours),
// 2 mm below it (radius query).
void BM_BuildPairs40k(benchmark::State& state)
{
    const Scans& scans = Scans::Get();
    PairBuildingEngine engine;
    engine.SetConfiguration(scans.config);
    engine.SetModelFix(*scans.fix, nullptr);
    engine.SetModelFloat(*scans.flt, nullptr);
    engine.SetTransform(scans.truth);
    engine.SetDistanceThreshold(static_cast<double>(state.range(0)));
    engine.BuildPairs(); // warm: buffers grown, decoding table built
    for (auto _ : state)
    {
        engine.BuildPairs();
        benchmark::DoNotOptimize(engine.PairCount());
    }
    state.counters["pairs"] = static_cast<double>(engine.PairCount());
}
BENCHMARK(BM_BuildPairs40k)->Arg(5)->Arg(2)->Unit(benchmark::kMicrosecond);
} // namespace

BENCHMARK_MAIN();
