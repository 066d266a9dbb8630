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
#include <string>

using namespace Base;
using SyntheticScans::kPi;

namespace
{
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
    SSurfelsFromPointsOptions options;
    // A tilted plane far from the origin, irregularly sampled (a fixed-seed jitter): every normal is the
    // plane's normal, turned towards +z, and turned over when the scanner looks from below.
    std::vector<CbVector3f> plane;
    uint32_t seed = 7;
    const auto jitter = [&seed] { return 0.3 * (((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0 - 0.5); };
    for (int k = 0; k < 900; ++k)
    {
        const double x = 1000.0 + k / 30 + jitter(), y = -500.0 + k % 30 + jitter();
        plane.emplace_back(static_cast<float>(x), static_cast<float>(y), static_cast<float>(0.3 * x - 0.2 * y + 5.0));
    }
    for (float view : {1.0f, -1.0f})
    {
        options.vViewDirection = CbVector3f(0.0f, 0.0f, view);
        const auto expected = [view](const CbVector3d&) { return CbVector3d(-0.3, 0.2, 1.0) * view; };
        EXPECT_LT(AngleErrors(plane, EstimateNormals(plane, 12, options), expected).first, 0.05);
    }

    // A sphere seen from its centre: normals point inwards. 19 neighbours are about two rings of the nearly
    // hexagonal sampling, whose direction of least spread is close to the radius.
    std::vector<CbVector3f> sphere;
    const CbVector3d centre(10.0, -20.0, 30.0);
    for (int i = 0, count = 4000; i < count; ++i)
    {
        const double z = 1.0 - (2.0 * i + 1.0) / count, r = std::sqrt(1.0 - z * z),
                     phi = i * kPi * (3.0 - std::sqrt(5.0));
        sphere.emplace_back(CbVector3f(centre + CbVector3d(r * std::cos(phi), r * std::sin(phi), z) * 50.0));
    }
    options.bUseViewpoint = true;
    options.vViewpoint = CbVector3f(centre);
    const auto [worst, mean] =
        AngleErrors(sphere, EstimateNormals(sphere, 19, options), [&](const CbVector3d& p) { return centre - p; });
    EXPECT_LT(mean, 0.4);
    EXPECT_LT(worst, 1.0);

    EXPECT_EQ(ErrorOf([&] { EstimateNormals(std::vector<CbVector3f>(plane.begin(), plane.begin() + 2), 12, options); }),
              "Normal estimation needs at least 3 points, got 2.");
    EXPECT_EQ(ErrorOf([&] { EstimateNormals(plane, 2, options); }),
              "Normal estimation needs at least 3 neighbours, got 2.");
    options.bUseViewpoint = false;
    options.vViewDirection = CbVector3f();
    EXPECT_EQ(ErrorOf([&] { EstimateNormals(plane, 12, options); }),
              "The view direction must be a finite, non-zero vector.");
}

TEST(SurfelsFromPoints, BoundaryQualitySpacingAndSurfelsOfAScan)
{
    // A 4 x 4 range image with one empty cell inside and one empty corner:
    //   0  1  2  3
    //   4  5  .  6
    //   7  8  9 10
    //  11 12 13  .
    IO::SPointCloud cloud;
    cloud.uiGridRows = cloud.uiGridCols = 4;
    cloud.vecGrid = {0, 1, 2, 3, 4, 5, -1, 6, 7, 8, 9, 10, 11, 12, 13, -1};
    cloud.vecPositions.resize(14);
    // Only point 8 has all four neighbours; 5 and 9 touch the hole, the rest the image's edge.
    EXPECT_EQ(BoundaryFlagsFromGrid(cloud), (std::vector<uint8_t>{1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1}));
    cloud.vecGrid.clear();
    EXPECT_TRUE(BoundaryFlagsFromGrid(cloud).empty());

    EXPECT_EQ(QualityFromConfidence({0.0f, 0.5f, 1.0f, -0.25f}), (std::vector<uint8_t>{0, 128, 255, 0}));
    EXPECT_EQ(QualityFromConfidence({0.0f, 50.0f, 200.0f}), (std::vector<uint8_t>{0, 64, 255}));
    EXPECT_TRUE(QualityFromConfidence({}).empty());

    // A regular grid has the grid step as its spacing, wherever it lies; duplicates are zero apart.
    std::vector<CbVector3f> grid;
    for (int k = 0; k < 20 * 21; ++k)
        grid.emplace_back(100.0f + 0.5f * (k / 21), 0.5f * (k % 21), 3.0f);
    EXPECT_NEAR(MedianNeighbourSpacing(grid), 0.5, 1e-5);
    EXPECT_EQ(MedianNeighbourSpacing({{1, 2, 3}, {1, 2, 3}, {1, 2, 3}}), 0.0);
    EXPECT_EQ(ErrorOf([&] { MedianNeighbourSpacing({grid[0]}); }),
              "The sampling density needs at least 2 points, got 1.");

    // A small height field in metres with file normals, one of them missing, and confidences.
    cloud = IO::SPointCloud();
    for (int k = 0; k < 100; ++k)
    {
        cloud.vecPositions.emplace_back(0.001f * (k / 10), 0.001f * (k % 10), 0.0f);
        cloud.vecNormals.emplace_back(0.0f, 0.0f, 2.0f);
        cloud.vecConfidence.push_back(0.01f * (k / 10 + k % 10));
    }
    cloud.vecNormals[42] = CbVector3f();
    SSurfelsFromPointsOptions options;
    options.fScale = 1000.0f; // metres to millimetres
    SSurfelData data = SurfelsFromPoints(cloud, options);
    ASSERT_EQ(data.vecPositions.size(), 100u);
    EXPECT_NEAR((data.vecPositions[99] - CbVector3f(9.0f, 9.0f, 0.0f)).Length(), 0.0f, 1e-5f);
    for (const CbVector3f& n : data.vecNormals)
        EXPECT_EQ(n, CbVector3f(0.0f, 0.0f, 1.0f)); // file normals normalised; the missing one estimated
    EXPECT_EQ(data.vecQuality[99], 46);             // 0.18 of 255
    EXPECT_TRUE(data.vecBoundaryFlags.empty());
    EXPECT_EQ(CSurfelCollection(std::move(data)).GetCount(), 100u);
    options.fScale = 0.0f;
    EXPECT_EQ(ErrorOf([&] { SurfelsFromPoints(cloud, options); }),
              "The scale factor must be finite and positive, got 0.");
}

// The same neighbourhoods as the normals, decomposed by the iterative solver behind the library's PCA:
// the closed form may differ by rounding only. Real scans (millimetres), and a sphere sampled on rings
// whose points crowd near the poles into nearly flat, nearly straight neighbourhoods.
TEST(SurfelsFromPoints, ClosedFormNormalsStayWithinMicroradiansOfTheIterativeSolver)
{
    std::vector<std::vector<CbVector3f>> sets;
    for (const char* file : {"/data/bun000.ply", "/data/dragon/dragonStandRight_48.ply"})
    {
        sets.emplace_back();
        for (const CbVector3f& p : IO::CPointCloudReader::Read(std::string(VELM_SOURCE_DIR) + file).vecPositions)
            sets.back().push_back(p * 1000.0f);
    }
    sets.emplace_back();
    for (int k = 0; k < 60 * 120; ++k)
    {
        const double t = kPi * (k / 120 + 0.5) / 60, f = 2 * kPi * (k % 120) / 120;
        sets.back().emplace_back(CbVector3d(std::sin(t) * std::cos(f), std::sin(t) * std::sin(f), std::cos(t)) * 50.0);
    }
    for (const std::vector<CbVector3f>& points : sets)
    {
        const std::vector<CbVector3f> normals = EstimateNormals(points, 12, SSurfelsFromPointsOptions());
        const CKdTree3D tree(std::make_shared<const std::vector<CbVector3f>>(points));
        double worst = 0.0;
        for (size_t i = 0; i < points.size(); ++i)
        {
            std::vector<SKdTreeNeighbour> neighbours;
            tree.FindKNearest(neighbours, points[i], 12, FLT_MAX);
            DataLayer::CPrincipalComponentAnalysis3D<CbVector3d> pca;
            for (const SKdTreeNeighbour& n : neighbours)
                pca.Add(CbVector3d(points[n.uiIndex]) - CbVector3d(points[i]));
            pca.ComputePCA();
            // The angle by atan2: near 0 an arc cosine would only see rounding (sqrt(2 eps) ~ 2e-4).
            const CbVector3d reference = pca.GetEigenVector(2), normal(normals[i]);
            worst = std::max(worst, std::atan2(reference.Cross(normal).Length(), std::fabs(reference.Dot(normal))));
        }
        EXPECT_LT(worst, 1e-5) << points.size() << " points";
    }
}

// A range scan in scan-line order, normals to estimate; the collection takes the same tree.
TEST(SurfelsFromPoints, OneTreeAndEveryThreadCountGiveTheSameSurfels)
{
    IO::SPointCloud cloud = SyntheticScans::Scan({0.0, 0.0, 150, 140, 0.7, 0.05, 3});
    cloud.vecNormals.clear();
    const SSurfelsFromPointsOptions options;
    const SSurfelData reference = SurfelsFromPoints(cloud, options);
    const double spacing = MedianNeighbourSpacing(reference.vecPositions);
    const CSurfelCollection referenceCollection(reference);
    for (uint32_t threads : {1u, 2u, 3u, 8u})
    {
        SCOPED_TRACE(threads);
        CThreadPool pool(threads);
        SSurfelScan scan = SurfelScanFromPoints(cloud, options, &pool);
        EXPECT_TRUE(scan.data.vecPositions.empty());
        EXPECT_EQ(*scan.spTree->GetPositions(), reference.vecPositions);
        EXPECT_EQ(scan.data.vecNormals, reference.vecNormals);
        EXPECT_EQ(scan.data.vecBoundaryFlags, reference.vecBoundaryFlags);
        EXPECT_EQ(scan.dSpacing, spacing);
        const CSurfelCollection collection(scan.data, scan.spTree, &pool);
        for (uint32_t i = 0; i < collection.GetCount(); ++i)
            ASSERT_EQ(collection.GetReadAccessor<CSCElementDefinitionNormal>()[i].uiCode,
                      EncodeNormal(reference.vecNormals[i]));
        EXPECT_EQ(collection.GetDerivedData()->GetSampleOrder(),
                  referenceCollection.GetDerivedData()->GetSampleOrder());
        EXPECT_EQ(&collection.GetDerivedData()->GetKdTree(), scan.spTree.get());
    }
    // With the file's normals the spacing has a pass of its own, with the same answer.
    cloud = SyntheticScans::Scan({0.0, 0.0, 150, 140, 0.7, 0.05, 3});
    CThreadPool pool(3);
    EXPECT_EQ(SurfelScanFromPoints(cloud, options, &pool).dSpacing, spacing);
    EXPECT_THROW(CSurfelCollection(reference, SurfelScanFromPoints(cloud, options).spTree), VelmException);
}
