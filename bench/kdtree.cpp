// Cost of the surfel collection's derived data and of its kd-tree queries on a 40 000-point surface.
#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/Base/SurfelData/ComputeSampleOrder.h"

#include <benchmark/benchmark.h>

#include <cfloat>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace
{
// A 200 x 200 scan of a wavy 100 x 100 patch, spacing 0.5, with a little jitter.
const std::vector<CbVector3f>& Surface()
{
    static const std::vector<CbVector3f> points = [] {
        std::mt19937 random(1);
        std::uniform_real_distribution<float> jitter(-0.1f, 0.1f);
        std::vector<CbVector3f> p;
        p.reserve(40000);
        for (int i = 0; i < 200; ++i)
            for (int j = 0; j < 200; ++j)
            {
                const float x = 0.5f * i + jitter(random);
                const float y = 0.5f * j + jitter(random);
                p.emplace_back(x, y, 5.0f * std::sin(0.1f * x) * std::cos(0.07f * y));
            }
        return p;
    }();
    return points;
}

// Query points near the surface, as the registration asks them.
std::vector<CbVector3f> QueryPoints()
{
    std::mt19937 random(2);
    std::uniform_real_distribution<float> along(0.0f, 100.0f);
    std::uniform_real_distribution<float> off(-0.5f, 0.5f);
    std::vector<CbVector3f> q(4096);
    for (CbVector3f& p : q)
    {
        const float x = along(random);
        const float y = along(random);
        p = CbVector3f(x, y, 5.0f * std::sin(0.1f * x) * std::cos(0.07f * y) + off(random));
    }
    return q;
}

void BM_BuildCollection(benchmark::State& state)
{
    for (auto _ : state)
    {
        Base::SSurfelData data;
        data.vecPositions = Surface();
        Base::CSurfelCollection collection(std::move(data));
        benchmark::DoNotOptimize(collection.GetDerivedData().get());
    }
}
BENCHMARK(BM_BuildCollection)->Unit(benchmark::kMillisecond);

void BM_BuildKdTree(benchmark::State& state)
{
    const auto positions = std::make_shared<const std::vector<CbVector3f>>(Surface());
    for (auto _ : state)
    {
        Base::CKdTree3D tree(positions);
        benchmark::DoNotOptimize(tree.GetCount());
    }
}
BENCHMARK(BM_BuildKdTree)->Unit(benchmark::kMillisecond);

void BM_SampleOrder(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(Base::ComputeSampleOrder(Surface()).data());
}
BENCHMARK(BM_SampleOrder)->Unit(benchmark::kMillisecond);

struct SQueryFixture
{
    std::shared_ptr<const std::vector<CbVector3f>> positions =
        std::make_shared<const std::vector<CbVector3f>>(Surface());
    Base::CKdTree3D tree{positions};
    std::vector<CbVector3f> queries = QueryPoints();
};

SQueryFixture& Fixture()
{
    static SQueryFixture fixture;
    return fixture;
}

void BM_FindNearest(benchmark::State& state)
{
    SQueryFixture& f = Fixture();
    size_t n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(f.tree.FindNearest(f.queries[n++ & 4095], FLT_MAX, 0));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FindNearest);

void BM_Find6Nearest(benchmark::State& state)
{
    SQueryFixture& f = Fixture();
    std::vector<Base::SKdTreeNeighbour> result;
    size_t n = 0;
    for (auto _ : state)
    {
        result.clear();
        f.tree.FindKNearest(result, f.queries[n++ & 4095], 6, FLT_MAX);
        benchmark::DoNotOptimize(result.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_Find6Nearest);

// The 12 nearest of every point of the set, in scan order, as normal estimation asks them.
void BM_Find12NearestOfEachPoint(benchmark::State& state)
{
    SQueryFixture& f = Fixture();
    std::vector<Base::SKdTreeNeighbour> result;
    for (auto _ : state)
        for (const CbVector3f& p : *f.positions)
        {
            result.clear();
            f.tree.FindKNearest(result, p, 12, FLT_MAX);
            benchmark::DoNotOptimize(result.data());
        }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.positions->size()));
}
BENCHMARK(BM_Find12NearestOfEachPoint)->Unit(benchmark::kMillisecond);

// The same neighbourhoods, the positions of a leaf sharing their candidates.
void BM_ForEachPositions12Nearest(benchmark::State& state)
{
    SQueryFixture& f = Fixture();
    for (auto _ : state)
        f.tree.ForEachPositionsKNearest(
            12, nullptr, [](uint32_t, const Base::SKdTreeNeighbour* n, size_t) { benchmark::DoNotOptimize(n); });
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.positions->size()));
}
BENCHMARK(BM_ForEachPositions12Nearest)->Unit(benchmark::kMillisecond);

// Radius in point spacings (0.5): 2 finds about 11 points on average, 4 about 46.
void BM_FindInRadius(benchmark::State& state)
{
    SQueryFixture& f = Fixture();
    const float radius = 0.5f * static_cast<float>(state.range(0));
    std::vector<uint32_t> result;
    size_t n = 0;
    size_t found = 0;
    for (auto _ : state)
    {
        result.clear();
        f.tree.FindInRadius(result, f.queries[n++ & 4095], radius);
        found += result.size();
        benchmark::DoNotOptimize(result.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FindInRadius)->Arg(2)->Arg(4);
} // namespace

BENCHMARK_MAIN();
