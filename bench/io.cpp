// Reading the bundled scans and turning them into surfels: the part of a registration before the engine.
#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/Base/SurfelData/SurfelsFromPoints.h"
#include "velm/IO/CPlyReader.h"
#include "velm/IO/CPlyWriter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include <unistd.h>

namespace
{
const std::string kScan = std::string(VELM_SOURCE_DIR) + "/data/bun000.ply";

void BM_ReadBinaryPly(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(IO::CPlyReader::Read(kScan).GetCount());
}
BENCHMARK(BM_ReadBinaryPly)->Unit(benchmark::kMillisecond);

void BM_WriteBinaryPly(benchmark::State& state)
{
    const IO::SPointCloud cloud = IO::CPlyReader::Read(kScan);
    const std::string out = "/tmp/velm_bench_io_" + std::to_string(::getpid()) + ".ply";
    for (auto _ : state)
        IO::CPlyWriter::Write(out, cloud);
    std::remove(out.c_str());
}
BENCHMARK(BM_WriteBinaryPly)->Unit(benchmark::kMillisecond);

void BM_EstimateNormals(benchmark::State& state)
{
    const IO::SPointCloud cloud = IO::CPlyReader::Read(kScan);
    Base::SSurfelsFromPointsOptions options;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            Base::EstimateNormals(cloud.vecPositions, static_cast<uint32_t>(state.range(0)), options));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(cloud.GetCount()));
}
BENCHMARK(BM_EstimateNormals)->Arg(12)->Arg(24)->Unit(benchmark::kMillisecond);

void BM_MedianNeighbourSpacing(benchmark::State& state)
{
    const IO::SPointCloud cloud = IO::CPlyReader::Read(kScan);
    for (auto _ : state)
        benchmark::DoNotOptimize(Base::MedianNeighbourSpacing(cloud.vecPositions));
}
BENCHMARK(BM_MedianNeighbourSpacing)->Unit(benchmark::kMillisecond);

// Everything from the file to the surfel collection the engine reads.
void BM_ScanToCollection(benchmark::State& state)
{
    Base::SSurfelsFromPointsOptions options;
    options.fScale = 1000.0f;
    for (auto _ : state)
    {
        const IO::SPointCloud cloud = IO::CPlyReader::Read(kScan);
        const Base::CSurfelCollection collection(Base::SurfelsFromPoints(cloud, options));
        benchmark::DoNotOptimize(collection.GetCount());
    }
}
BENCHMARK(BM_ScanToCollection)->Unit(benchmark::kMillisecond);
} // namespace
BENCHMARK_MAIN();
