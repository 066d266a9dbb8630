// The staged, verified registration of two scans on synthetic range scans with a known answer.
#include "RealScans.h"
#include "SyntheticScans.h"

#include "velm/Pipeline/RegisterPair.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace SyntheticScans;

namespace
{
const CbMatrix4Rd kToFloatFrame = Motion(CbVector3d(-2, 1, 4), 40.0, CbVector3d(-30, 12, 7));

std::shared_ptr<const Pipeline::SScan> Prepare(IO::SPointCloud cloud, const char* name)
{
    return Pipeline::PrepareScan(std::move(cloud), Pipeline::SScanOptions(), name);
}
} // namespace

TEST(RegisterPair, SyntheticScansOfOtherNoiseAndDensityLandRightOrAreNotVerified)
{
    // Two scanners unlike the bundled ones: dense and noisy, sparse and nearly noiseless. FLOAT covers
    // three fifths of FIX.
    const SWindow settings[][2] = {{{0.0, 0.0, 125, 125, 0.8, 0.08, 11}, {40.4, 0.4, 125, 125, 0.8, 0.08, 12}},
                                   {{0.0, 0.0, 67, 67, 1.5, 0.005, 13}, {40.75, 0.75, 67, 67, 1.5, 0.005, 14}}};
    const double bands[3][4] = {{3, 10, 2, 10}, {10, 20, 10, 20}, {20, 35, 20, 40}};
    const CbMatrix4Rd truth = kToFloatFrame.Inverted();
    for (const auto& windows : settings)
    {
        const auto fix = Prepare(Scan(windows[0]), "fix");
        const auto flt = Prepare(Scan(windows[1], kToFloatFrame), "float");
        const CbVector3d centroid = RealScans::Centroid(*flt);
        for (int band = 0; band < 3; ++band)
            for (uint32_t seed = 0; seed < 3; ++seed)
            {
                SCOPED_TRACE(std::to_string(windows[0].spacing) + " mm, band " + std::to_string(band + 1) + ", seed " +
                             std::to_string(seed));
                const double* b = bands[band];
                Pipeline::SRegisterOptions options;
                options.mStart = RealScans::PerturbedStart(truth, centroid, seed, b[0], b[1], b[2], b[3]);
                const Pipeline::SPairResult r = Pipeline::RegisterPair(*fix, *flt, options);
                const auto [degrees, mm] = RealScans::Error(truth, r.mTransformation, centroid);
                EXPECT_FALSE(r.GetSuccess() && (degrees > 1.0 || mm > 3.0)) << degrees << " deg, " << mm << " mm";
                // Every start of the first band lands accurately.
                EXPECT_TRUE(band > 0 || (r.GetSuccess() && degrees < 0.1 && mm < 0.2))
                    << r.strVerdict << ", " << degrees << " deg, " << mm << " mm";
            }
    }
}

TEST(RegisterPair, RecordStagesProgressDeterminismAndStartsOffRigid)
{
    const auto fix = Prepare(Scan({0.0, 0.0, 80, 80, 1.0, 0.03, 5}), "fix");
    const IO::SPointCloud fltCloud = Scan({30.5, 0.5, 80, 80, 1.0, 0.03, 6}, kToFloatFrame);
    const auto flt = Prepare(fltCloud, "float");
    const CbMatrix4Rd truth = kToFloatFrame.Inverted();
    const CbVector3d centroid = RealScans::Centroid(*flt);
    Pipeline::SRegisterOptions options;
    options.mStart = truth * CbMatrix4Rd::Translation(3.0, -2.0, 1.0);
    std::vector<std::string> lines;
    options.fnProgress = [&](const std::string& line) { lines.push_back(line); };
    const Pipeline::SPairResult r = Pipeline::RegisterPair(*fix, *flt, options);
    ASSERT_TRUE(r.GetSuccess()) << r.strVerdict;

    // A progress line per iteration, coarse steps first; the stages add up to the iterations reported.
    EXPECT_EQ(lines.size(), r.GetIterations());
    EXPECT_EQ(lines.front().rfind("coarse iteration 1: threshold ", 0), 0u) << lines.front();
    EXPECT_EQ(lines.back().rfind("fine iteration ", 0), 0u) << lines.back();
    ASSERT_EQ(r.vecStages.size(), 4u); // three coarse steps, then the fine stage
    EXPECT_GT(r.vecStages[0].dThreshold, r.vecStages[2].dThreshold);

    const Pipeline::CRecord record = r.ToRecord();
    std::string keys;
    for (const auto& [key, value] : record.GetItems())
        keys += key + " ";
    EXPECT_EQ(keys,
              "state state_value failure_cause verified verdict units rmse_mm transformation start_transformation "
              "start iterations pairs sum_of_weights overlap_quotient pair_weights_quotient offset_mm "
              "relative_movement final_distance_threshold_mm dof_eigenvalues dof_condition_number verification "
              "stages hypotheses sampling_density_mm scans points_fix points_float timings_s configuration ");
    EXPECT_EQ(std::make_tuple(record["verified"].AsBool(), record["hypotheses"]["tried"].AsUInt()),
              std::make_tuple(true, 1u));

    // The same input gives the same output, but for the timings (also the stages').
    options.fnProgress = nullptr;
    const Pipeline::CRecord again = Pipeline::RegisterPair(*fix, *flt, options).ToRecord();
    for (const auto& [key, value] : again.GetItems())
        EXPECT_TRUE(key == "timings_s" || key == "stages" || record[key] == value) << key;

    // A start as users write it, six digits a number, is a little off rigid: it lands as accurately as
    // the exact start. One that stretches FLOAT by a fifth still runs through (FLOAT's moved points then
    // get a tree of their own) and is not trusted.
    Pipeline::SRegisterOptions rounded = options;
    char text[32];
    for (double& e : rounded.mStart.e)
    {
        std::snprintf(text, sizeof text, "%.6g", e);
        e = std::stod(text);
    }
    ASSERT_NE(rounded.mStart, options.mStart);
    const Pipeline::SPairResult b = Pipeline::RegisterPair(*fix, *flt, rounded);
    ASSERT_TRUE(b.GetSuccess()) << b.strVerdict;
    for (const Pipeline::SPairResult* result : {&r, &b})
    {
        const auto [degrees, mm] = RealScans::Error(truth, result->mTransformation, centroid);
        EXPECT_TRUE(degrees < 0.1 && mm < 0.2) << degrees << " deg, " << mm << " mm";
    }
    Pipeline::SRegisterOptions stretched = options;
    for (int i : {0, 1, 2, 4, 5, 6, 8, 9, 10})
        stretched.mStart.e[i] *= 1.2;
    EXPECT_FALSE(Pipeline::RegisterPair(*fix, *flt, stretched).GetSuccess());

    // Scans in different units cannot be registered.
    Pipeline::SScanOptions metres;
    metres.strUnits = "m";
    EXPECT_THROW(Pipeline::RegisterPair(*fix, *Pipeline::PrepareScan(fltCloud, metres, "in metres"), options),
                 std::invalid_argument);
}

TEST(RegisterPair, ScansFromArraysTheCallerKeepsEqualScansFromClouds)
{
    // Points in a plain float array, three a point, with confidences: no cloud, no copy of the points.
    IO::SPointCloud cloud = Scan({0.0, 0.0, 60, 50, 1.0, 0.03, 9});
    cloud.vecNormals.clear();
    for (size_t i = 0; i < cloud.GetCount(); ++i)
        cloud.vecConfidence.push_back(0.5f + 0.001f * static_cast<float>(i % 100));
    std::vector<float> xyz;
    for (const CbVector3f& p : cloud.vecPositions)
        xyz.insert(xyz.end(), {p.x, p.y, p.z});
    Base::SPointsView view{reinterpret_cast<const CbVector3f*>(xyz.data()), cloud.GetCount(), nullptr,
                           cloud.vecConfidence.data()};
    const auto fromView = Pipeline::PrepareScan(view, Pipeline::SScanOptions(), "array");
    const auto fromCloud = Prepare(cloud, "cloud");
    const auto facts = [](const Pipeline::SScan& s) {
        return std::make_tuple(s.Positions(), s.surfels.vecNormals, s.surfels.vecQuality, s.dSpacing, s.dNoise);
    };
    EXPECT_TRUE(facts(*fromView) == facts(*fromCloud));
    // The range image comes with the cloud only; the scan keeps no positions of its own besides its surfels'.
    EXPECT_EQ(
        std::make_tuple(fromView->cloud.HasGrid(), fromCloud->cloud.HasGrid(), fromCloud->cloud.vecPositions.empty()),
        std::make_tuple(false, true, true));
    view.uiCount = 2;
    EXPECT_THROW(Pipeline::PrepareScan(view, Pipeline::SScanOptions(), "two"), std::invalid_argument);

    // The noise reuses the planes normal estimation fitted; with those normals given in the file it
    // fits them itself, to the same value. With other neighbourhoods for the normals, it fits its own.
    IO::SPointCloud withNormals = cloud;
    withNormals.vecNormals = fromCloud->surfels.vecNormals;
    EXPECT_EQ(Prepare(withNormals, "with normals")->dNoise, fromCloud->dNoise);
    Pipeline::SScanOptions wider;
    wider.surfels.uiNormalNeighbours = 20;
    EXPECT_EQ(Pipeline::PrepareScan(cloud, wider, "wider")->dNoise, fromCloud->dNoise);
}
