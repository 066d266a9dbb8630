#include "SyntheticScans.h"

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/Base/SurfelData/SurfelsFromPoints.h"
#include "velm/DataLayer/Algorithms/Math/CPrincipalComponentAnalysis3D.h"
#include "velm/Frame/VelmException.h"
#include "velm/IO/CPointCloudReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace
{
constexpr double kPi = 3.14159265358979323846;

// The largest and the mean angle (degrees) between the normals and the directions expected at the points.
std::pair<double, double> AngleErrors(const std::vector<CbVector3f>& points, const std::vector<CbVector3f>& normals,
                                      const std::function<CbVector3d(const CbVector3d&)>& expected)
{
    double worst = 0.0, sum = 0.0;
    for (size_t i = 0; i < points.size(); ++i)
    {
        const CbVector3d n(normals[i]), e = expected(CbVector3d(points[i]));
        EXPECT_NEAR(n.Length(), 1.0, 1e-6);
        const double a = std::acos(std::max(-1.0, std::min(1.0, n.Dot(e) / e.Length()))) * 180.0 / kPi;
        worst = std::max(worst, a);
        sum += a;
    }
    return {worst, sum / points.size()};
}

template <typename F>
std::string ErrorOf(F&& f)
{
    try
    {
        f();
    }
    catch (const VelmException& e)
    {
        return e.what();
    }
    return "";
}
} // namespace

TEST(SurfelsFromPoints, NormalsOfAnalyticSurfaces)
{
    Base::SSurfelsFromPointsOptions options;

    // A tilted plane far from the origin, irregularly sampled (a fixed-seed jitter): every normal is the
    // plane's normal, turned towards +z, and turned over when the scanner looks from below.
    std::vector<CbVector3f> plane;
    uint32_t seed = 7;
    const auto jitter = [&seed] { return 0.3 * (((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0 - 0.5); };
    for (int i = 0; i < 30; ++i)
        for (int j = 0; j < 30; ++j)
        {
            const double x = 1000.0 + i + jitter(), y = -500.0 + j + jitter();
            plane.emplace_back(static_cast<float>(x), static_cast<float>(y),
                               static_cast<float>(0.3 * x - 0.2 * y + 5.0));
        }
    const auto planeNormal = [](const CbVector3d&) { return CbVector3d(-0.3, 0.2, 1.0); };
    EXPECT_LT(AngleErrors(plane, Base::EstimateNormals(plane, 12, options), planeNormal).first, 0.05);
    options.vViewDirection = CbVector3f(0.0f, 0.0f, -1.0f);
    const auto flipped = [](const CbVector3d&) { return CbVector3d(0.3, -0.2, -1.0); };
    EXPECT_LT(AngleErrors(plane, Base::EstimateNormals(plane, 12, options), flipped).first, 0.05);

    // A sphere seen from its centre: every normal points inwards, along the radius. 19 neighbours are the
    // point and about two rings of the nearly hexagonal sampling, whose direction of least spread is close
    // to the radius.
    std::vector<CbVector3f> sphere;
    const CbVector3d centre(10.0, -20.0, 30.0);
    for (int i = 0, count = 4000; i < count; ++i)
    {
        const double z = 1.0 - (2.0 * i + 1.0) / count, r = std::sqrt(1.0 - z * z);
        const double phi = i * kPi * (3.0 - std::sqrt(5.0));
        sphere.emplace_back(CbVector3f(centre + CbVector3d(r * std::cos(phi), r * std::sin(phi), z) * 50.0));
    }
    options.bUseViewpoint = true;
    options.vViewpoint = CbVector3f(centre);
    const auto [worst, mean] = AngleErrors(sphere, Base::EstimateNormals(sphere, 19, options),
                                           [&](const CbVector3d& p) { return centre - p; });
    EXPECT_LT(mean, 0.4);
    EXPECT_LT(worst, 1.0);

    EXPECT_EQ(ErrorOf([&] {
                  Base::EstimateNormals({{0, 0, 0}, {1, 0, 0}}, 12, options);
              }),
              "Normal estimation needs at least 3 points, got 2.");
    EXPECT_EQ(ErrorOf([&] { Base::EstimateNormals(plane, 2, options); }),
              "Normal estimation needs at least 3 neighbours, got 2.");
    options.bUseViewpoint = false;
    options.vViewDirection = CbVector3f();
    EXPECT_EQ(ErrorOf([&] { Base::EstimateNormals(plane, 12, options); }),
              "The view direction must be a finite, non-zero vector.");
}
TEST(SurfelsFromPoints, BoundaryQualityAndSpacing)
{
    // A 4 x 4 range image with one empty cell inside and one empty corner:
    //   0  1  2  3
    //   4  5  .  6
    //   7  8  9 10
    //  11 12 13  .
    IO::SPointCloud cloud;
    cloud.uiGridRows = 4;
    cloud.uiGridCols = 4;
    cloud.vecGrid = {0, 1, 2, 3, 4, 5, -1, 6, 7, 8, 9, 10, 11, 12, 13, -1};
    for (int i = 0; i < 14; ++i)
        cloud.vecPositions.emplace_back(0.5f * i, 0.0f, 0.0f);
    // Only point 8 has all four neighbours; 5 and 9 touch the hole, the rest the image's edge.
    const std::vector<uint8_t> expected = {1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1};
    EXPECT_EQ(Base::BoundaryFlagsFromGrid(cloud), expected);
    cloud.vecGrid.clear();
    EXPECT_TRUE(Base::BoundaryFlagsFromGrid(cloud).empty());

    EXPECT_EQ(Base::QualityFromConfidence({0.0f, 0.5f, 1.0f, -0.25f}), (std::vector<uint8_t>{0, 128, 255, 0}));
    EXPECT_EQ(Base::QualityFromConfidence({0.0f, 50.0f, 200.0f}), (std::vector<uint8_t>{0, 64, 255}));
    EXPECT_TRUE(Base::QualityFromConfidence({}).empty());

    // A regular grid has the grid step as its spacing, wherever it lies.
    std::vector<CbVector3f> grid;
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 21; ++j)
            grid.emplace_back(100.0f + 0.5f * i, 0.5f * j, 3.0f);
    EXPECT_NEAR(Base::MedianNeighbourSpacing(grid), 0.5, 1e-5);
    // Duplicates are zero apart.
    EXPECT_EQ(Base::MedianNeighbourSpacing({{1, 2, 3}, {1, 2, 3}, {1, 2, 3}}), 0.0);
    EXPECT_EQ(ErrorOf([] {
                  Base::MedianNeighbourSpacing({{1, 2, 3}});
              }),
              "The sampling density needs at least 2 points, got 1.");
}

TEST(SurfelsFromPoints, BuildsACollectionFromAScan)
{
    // A small height field in metres with file normals, one of them missing, and confidences.
    IO::SPointCloud cloud;
    for (int i = 0; i < 10; ++i)
        for (int j = 0; j < 10; ++j)
        {
            cloud.vecPositions.emplace_back(0.001f * i, 0.001f * j, 0.0f);
            cloud.vecNormals.emplace_back(0.0f, 0.0f, 2.0f);
            cloud.vecConfidence.push_back(0.01f * (i + j));
        }
    cloud.vecNormals[42] = CbVector3f();
    Base::SSurfelsFromPointsOptions options;
    options.fScale = 1000.0f;
    Base::SSurfelData data = Base::SurfelsFromPoints(cloud, options);
    ASSERT_EQ(data.vecPositions.size(), 100u);
    EXPECT_NEAR(data.vecPositions[99].x, 9.0f, 1e-5f);
    EXPECT_NEAR(data.vecPositions[99].y, 9.0f, 1e-5f);
    for (const CbVector3f& n : data.vecNormals)
        EXPECT_EQ(n, CbVector3f(0.0f, 0.0f, 1.0f)); // file normals normalised; the missing one estimated
    EXPECT_EQ(data.vecQuality[99], 46);             // 0.18 of 255
    EXPECT_TRUE(data.vecBoundaryFlags.empty());
    const Base::CSurfelCollection collection(std::move(data));
    EXPECT_EQ(collection.GetCount(), 100u);

    options.fScale = 0.0f;
    EXPECT_EQ(ErrorOf([&] { Base::SurfelsFromPoints(cloud, options); }),
              "The scale factor must be finite and positive, got 0.");
}

TEST(SurfelsFromPoints, ClosedFormNormalsStayWithinMicroradiansOfTheIterativeSolver)
{
    // The same neighbourhoods as the normals, decomposed by the iterative solver behind the library's
    // PCA: the closed form may differ by rounding only. Real scans (millimetres) and a sphere.
    std::vector<std::vector<CbVector3f>> sets;
    for (const char* file : {"/data/bun000.ply", "/data/dragon/dragonStandRight_48.ply"})
    {
        std::vector<CbVector3f> points;
        for (const CbVector3f& p : IO::CPointCloudReader::Read(std::string(VELM_SOURCE_DIR) + file).vecPositions)
            points.push_back(p * 1000.0f);
        sets.push_back(points);
    }
    std::vector<CbVector3f> sphere;
    for (int i = 0; i < 60; ++i)
        for (int j = 0; j < 120; ++j)
        {
            const double t = kPi * (i + 0.5) / 60, f = 2 * kPi * j / 120;
            sphere.emplace_back(static_cast<float>(50 * std::sin(t) * std::cos(f)),
                                static_cast<float>(50 * std::sin(t) * std::sin(f)),
                                static_cast<float>(50 * std::cos(t)));
        }
    sets.push_back(sphere);
    const Base::SSurfelsFromPointsOptions options;
    for (const std::vector<CbVector3f>& points : sets)
    {
        const std::vector<CbVector3f> normals = Base::EstimateNormals(points, 12, options);
        const Base::CKdTree3D tree(std::make_shared<const std::vector<CbVector3f>>(points));
        double worst = 0.0;
        std::vector<Base::SKdTreeNeighbour> neighbours;
        for (size_t i = 0; i < points.size(); ++i)
        {
            neighbours.clear();
            tree.FindKNearest(neighbours, points[i], 12, FLT_MAX);
            DataLayer::CPrincipalComponentAnalysis3D<CbVector3d> pca;
            for (const Base::SKdTreeNeighbour& n : neighbours)
                pca.Add(CbVector3d(points[n.uiIndex]) - CbVector3d(points[i]));
            pca.ComputePCA();
            // The angle by atan2: near 0 an arc cosine would only see rounding (sqrt(2 eps) ~ 2e-4).
            const CbVector3d reference = pca.GetEigenVector(2), normal(normals[i]);
            worst = std::max(worst, std::atan2(reference.Cross(normal).Length(), std::fabs(reference.Dot(normal))));
        }
        EXPECT_LT(worst, 1e-5) << points.size() << " points";
    }
}

TEST(SurfelsFromPoints, OneTreeAndEveryThreadCountGiveTheSameSurfels)
{
    // A range scan in scan-line order, normals to estimate.
    IO::SPointCloud cloud = SyntheticScans::Scan({0.0, 0.0, 150, 140, 0.7, 0.05, 3});
    cloud.vecNormals.clear();
    const Base::SSurfelsFromPointsOptions options;
    const Base::SSurfelData reference = Base::SurfelsFromPoints(cloud, options);
    const double spacing = Base::MedianNeighbourSpacing(reference.vecPositions);
    const Base::CSurfelCollection referenceCollection(reference);
    const auto codes = [](const Base::CSurfelCollection& c) {
        std::vector<uint16_t> out;
        for (uint32_t i = 0; i < c.GetCount(); ++i)
            out.push_back(c.GetReadAccessor<Base::CSCElementDefinitionNormal>()[i].uiCode);
        return out;
    };
    for (uint32_t threads : {1u, 2u, 3u, 8u})
    {
        SCOPED_TRACE(threads);
        CThreadPool pool(threads);
        Base::SSurfelScan scan = Base::SurfelScanFromPoints(cloud, options, &pool);
        EXPECT_TRUE(scan.data.vecPositions.empty());
        EXPECT_EQ(*scan.spTree->GetPositions(), reference.vecPositions);
        EXPECT_EQ(scan.data.vecNormals, reference.vecNormals);
        EXPECT_EQ(scan.data.vecBoundaryFlags, reference.vecBoundaryFlags);
        EXPECT_EQ(scan.dSpacing, spacing);
        // The collection takes the same tree and gives the same collection.
        const Base::CSurfelCollection collection(scan.data, scan.spTree, &pool);
        EXPECT_EQ(codes(collection), codes(referenceCollection));
        EXPECT_EQ(collection.GetDerivedData()->GetSampleOrder(),
                  referenceCollection.GetDerivedData()->GetSampleOrder());
        EXPECT_EQ(&collection.GetDerivedData()->GetKdTree(), scan.spTree.get());
    }
    // With the file's normals the spacing has a pass of its own, with the same answer.
    cloud = SyntheticScans::Scan({0.0, 0.0, 150, 140, 0.7, 0.05, 3});
    CThreadPool pool(3);
    EXPECT_EQ(Base::SurfelScanFromPoints(cloud, options, &pool).dSpacing, spacing);
    EXPECT_THROW(Base::CSurfelCollection(reference, Base::SurfelScanFromPoints(cloud, options).spTree), VelmException);
}
