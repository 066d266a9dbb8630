// Speed of the surfel-collection registration: one whole registration of two 40 000-surfel scans
// of a smooth surface started a few millimetres and degrees apart, and one pair building at the
// wide (k-nearest) and at the converged (radius) threshold.

#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace
{
double Height(double x, double y)
{
    return 4.0 * std::sin(0.11 * x + 0.3) * std::cos(0.07 * y) + 0.002 * x * y +
           3.0 * std::exp(-((x - 8.0) * (x - 8.0) + (y + 5.0) * (y + 5.0)) / 120.0);
}

CbVector3d Normal(double x, double y)
{
    const double h = 1e-5;
    const CbVector3d n(-(Height(x + h, y) - Height(x - h, y)) / (2.0 * h),
                       -(Height(x, y + h) - Height(x, y - h)) / (2.0 * h), 1.0);
    return n * (1.0 / n.Length());
}

// Rotation of `angle` about the unit axis (a, b, c) followed by the translation t.
CbMatrix4Rd Motion(double a, double b, double c, double angle, const CbVector3d& t)
{
    const double co = std::cos(angle), si = std::sin(angle), C = 1.0 - co;
    const double R[3][3] = {{co + a * a * C, a * b * C - c * si, a * c * C + b * si},
                            {b * a * C + c * si, co + b * b * C, b * c * C - a * si},
                            {c * a * C - b * si, c * b * C + a * si, co + c * c * C}};
    CbMatrix4Rd m;
    for (int r = 0; r < 3; ++r)
        for (int col = 0; col < 3; ++col)
            m.e[4 * col + r] = R[r][col];
    m.e[12] = t.x;
    m.e[13] = t.y;
    m.e[14] = t.z;
    return m;
}

// 200 x 200 surfels at 1 mm spacing, starting at (x0, y0), mapped by `toScan`.
std::unique_ptr<Base::CSurfelCollection> Scan(double x0, double y0, const CbMatrix4Rd& toScan)
{
    Base::SSurfelData data;
    const CbVector3d origin = toScan.TransformPoint(CbVector3d());
    for (int j = 0; j < 200; ++j)
        for (int i = 0; i < 200; ++i)
        {
            const double x = x0 + i, y = y0 + j;
            data.vecPositions.push_back(CbVector3f(toScan.TransformPoint(CbVector3d(x, y, Height(x, y)))));
            data.vecNormals.push_back(CbVector3f(toScan.TransformPoint(Normal(x, y)) - origin));
        }
    return std::make_unique<Base::CSurfelCollection>(std::move(data));
}

DataLayer::VelmTorCorrICPPointConfig Config()
{
    DataLayer::VelmTorCorrICPPointConfig c;
    c.SetBoundingBoxBlowup(1.0f);
    c.SetMaxNumberDepthImagePairs(1);
    c.SetNumberOfPairs(1500);
    c.SetInitialDistanceThreshold(5.0f);
    c.SetAdaptDistanceThreshold(1);
    c.SetDistanceThresholdAdaptionFactor(3.0f);
    c.SetSamplingDensity(2.0f);
    c.SetQueryRadiusThreshold(2.5f);
    c.SetConvergedQueryRadius(2.0f);
    c.SetSmoothDistanceThresholding(true);
    c.SetMaxTransformationUpdates(3);
    c.SetMinImprovement(0.99);
    c.SetMinStepSize(0.1);
    c.SetMaxIterations(50);
    c.SetOffsetThreshold(0.001);
    c.SetMinimumPairWeights(100.0f);
    c.SetMaxDOFConditionNumber(1000.0f);
    c.SetMaxRelativeMovement(20.0f);
    c.SetNrTestSamples(1000);
    c.SetOverlapRange(3.0f);
    c.SetTestRange(1.5f);
    c.SetCosNormalThreshold(0.95);
    c.SetCurvatureThreshold(1.0);
    c.SetMinimumOverlapQuotient(0.5);
    c.SetMinimumWeightsQuotient(0.8);
    c.SetDefaultResClassErrorThreshold(0.05);
    c.SetMinimumAbsOverlap(0.0);
    c.SetMinimumNumberSurfelsFix(100);
    c.SetMinimumNumberSurfelsFloat(100);
    return c;
}

struct Scans
{
    CbMatrix4Rd truth = Motion(0.267261, 0.534522, 0.801784, 0.05, CbVector3d(1.5, -1.0, 0.8));
    std::unique_ptr<Base::CSurfelCollection> fix;
    std::unique_ptr<Base::CSurfelCollection> flt;
    DataLayer::VelmTorCorrICPPointConfig config = Config();

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
