#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/CMovedKdTree3D.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/Base/SurfelData/SurfelsFromPoints.h"
#include "velm/DataLayer/Algorithms/Math/CPrincipalComponentAnalysis3D.h"
#include "velm/IO/CPointCloudReader.h"

#include "SyntheticScans.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

using namespace Base;
using SyntheticScans::kPi;

namespace
{
SSurfelData FourSurfels()
{
    SSurfelData d;
    d.vecPositions = {{0, 0, 0}, {2, 0, 0}, {0, 3, 0}, {1, 1, 4}};
    d.vecNormals = {{0, 0, 1}, {0, 1, 0}, {1, 0, 0}, {-1, 0, 0}};
    d.vecQuality = {255, 128, 0, 7};
    d.vecWeight = {0.5f, 1.5f, 2.5f, 3.5f};
    d.vecCurvature = {1, 2, 3, 4};
    d.vecBoundaryFlags = {0, 1, 0, 1};
    return d;
}

bool IsPermutation(const std::vector<uint32_t>& order) // of 0 .. size - 1
{
    const std::set<uint32_t> distinct(order.begin(), order.end());
    return distinct.size() == order.size() && (order.empty() || *distinct.rbegin() == order.size() - 1);
}

using Answer = std::vector<std::pair<uint32_t, float>>;

// Looks at every point: the k smallest by (float distance, index) within the limit.
Answer Brute(const std::vector<CbVector3f>& points, const CbVector3f& q, uint32_t k, float limit)
{
    Answer all;
    for (uint32_t i = 0; i < points.size(); ++i)
    {
        const float dx = points[i].x - q.x, dy = points[i].y - q.y, dz = points[i].z - q.z;
        const float d = (dy * dy + dx * dx) + dz * dz;
        if (d <= limit * limit)
            all.emplace_back(i, d);
    }
    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    all.resize(std::min<size_t>(all.size(), k));
    return all;
}

// The searches append their answers to what the caller's list holds.
Answer KNearest(const IKdTree3D& tree, const CbVector3f& q, uint32_t k, float limit)
{
    std::vector<SKdTreeNeighbour> found = {{99, 0.5f}};
    tree.FindKNearest(found, q, k, limit);
    EXPECT_TRUE(!found.empty() && found[0].uiIndex == 99 && found[0].fDistanceSqr == 0.5f) << "entry before kept";
    Answer result;
    for (size_t i = 1; i < found.size(); ++i)
        result.emplace_back(found[i].uiIndex, found[i].fDistanceSqr);
    return result;
}

std::vector<uint32_t> InRadius(const IKdTree3D& tree, const CbVector3f& q, float radius)
{
    std::vector<uint32_t> found = {77};
    tree.FindInRadius(found, q, radius);
    EXPECT_TRUE(!found.empty() && found[0] == 77) << "entry before kept";
    return found.empty() ? found : std::vector<uint32_t>(found.begin() + 1, found.end());
}

// Integer points from `step`, then scattered ones.
std::vector<CbVector3f> Cloud(int step, int scattered, uint32_t seed)
{
    std::vector<CbVector3f> points;
    for (int x = -1; x < 13; x += step)
        for (int y = -1; y < 13; y += step)
            for (int z = 0; z < 3; ++z)
                points.emplace_back(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> coordinate(-3.0f, 15.0f);
    for (int n = 0; n < scattered; ++n)
        points.emplace_back(coordinate(random), coordinate(random), coordinate(random) * 0.3f);
    return points;
}

std::shared_ptr<const std::vector<CbVector3f>> Share(std::vector<CbVector3f> points)
{
    return std::make_shared<const std::vector<CbVector3f>>(std::move(points));
}
} // namespace

TEST(SurfelCollection, ElementsAndDerivedDataOfACollectionAndInvalidDataRejectedWithAClearMessage)
{
    auto c = std::make_unique<CSurfelCollection>(FourSurfels());
    ASSERT_EQ(c->GetCount(), 4u);
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionNormal>()[3].uiCode, 0x80FF); // encoded from the direction
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionPosition>()[3], CbVector3f(1, 1, 4));
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionQuality>()[1], 128);
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionWeight>()[2], 2.5f);
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionCurvature>()[3], 4);
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionBoundaryFlag>()[1], 1);

    // Derived data is built once and outlives the collection.
    const auto derived = c->GetDerivedData();
    EXPECT_EQ(c->GetDerivedData().get(), derived.get());
    EXPECT_EQ(derived->GetBoundingBox().box.vMin, CbVector3f(0, 0, 0));
    EXPECT_EQ(derived->GetBoundingBox().box.vMax, CbVector3f(2, 3, 4));
    const std::vector<uint32_t> order = derived->GetSampleOrder();
    c.reset();
    EXPECT_EQ(derived->GetKdTree().FindNearest(CbVector3f(1.9f, 0.1f, 0), 1.0f, 0), 1u);
    EXPECT_EQ(derived->GetSampleOrder(), order);

    // Raw codes win over directions, a given sample order is kept, and elements left out are absent.
    SSurfelData raw = FourSurfels();
    raw.vecNormalCodes = {7, 8, 9, 0x2000};
    raw.vecSampleOrder = {2, 0, 3, 1};
    raw.vecQuality.clear(), raw.vecCurvature.clear(), raw.vecBoundaryFlags.clear();
    const CSurfelCollection r(std::move(raw));
    EXPECT_EQ(r.GetReadAccessor<CSCElementDefinitionNormal>()[3].uiCode, 0x2000);
    EXPECT_EQ(r.GetDerivedData()->GetSampleOrder(), (std::vector<uint32_t>{2, 0, 3, 1}));
    for (const std::type_info* t : {&typeid(CSCElementDefinitionQuality), &typeid(CSCElementDefinitionCurvature),
                                    &typeid(CSCElementDefinitionBoundaryFlag), &typeid(int)})
        EXPECT_EQ(r.FindElementAccess(*t), nullptr) << t->name();
    const VelmException e = Thrown([&] { r.GetReadAccessor<CSCElementDefinitionQuality>(); });
    EXPECT_STREQ(e.GetFilename(), "Base/Interfaces/ISurfelCollection");
    EXPECT_EQ(e.GetCodeLine(), 96u);
    EXPECT_STREQ(e.GetFunctionName(), "Base::ISurfelCollection::GetReadAccessor");
    EXPECT_STREQ(e.GetWideMessage().GetString(), L"Nicht verfuegbare ElementAccessor-Definition angefordert.");

    // Invalid data is rejected with a clear message.
    const std::pair<void (*)(SSurfelData&), const wchar_t*> cases[] = {
        {[](auto& d) { d.vecWeight.pop_back(); }, L"Element Weight has 3 entries, but there are 4 positions."},
        {[](auto& d) { d.vecNormalCodes.assign(5, 0); },
         L"Element NormalCode has 5 entries, but there are 4 positions."},
        {[](auto& d) { d.vecPositions.clear(); }, L"Element Normal has 4 entries, but the positions are missing."},
        {[](auto& d) { d.vecSampleOrder.assign(3, 0); },
         L"Element SampleOrder has 3 entries, but there are 4 positions."},
        {[](auto& d) { d.vecSampleOrder.assign(4, 4); },
         L"The sample order lists surfel 4, but there are only 4 surfels."},
        {[](auto& d) { d.vecSampleOrder.assign(4, 3); }, L"The sample order lists surfel 3 more than once."},
        {[](auto& d) { d.vecPositions[2].y = std::numeric_limits<float>::quiet_NaN(); },
         L"Position 2 is not finite (0, nan, 0)."},
        {[](auto& d) { d.vecPositions[0].z = -std::numeric_limits<float>::infinity(); },
         L"Position 0 is not finite (0, 0, -inf)."}};
    for (const auto& [change, message] : cases)
    {
        SSurfelData data = FourSurfels();
        change(data);
        EXPECT_STREQ(Thrown([&] { CSurfelCollection{std::move(data)}; }).GetWideMessage().GetString(), message);
    }
}

TEST(SurfelCollection, CovarianceEllipsoidSpansOneStandardDeviationEvenForOneOrNoSurfel)
{
    SSurfelData d;
    d.vecPositions = {{0, 0, 0}, {4, 0, 0}, {0, 0, 1}, {4, 0, 1}, {2, 1, 0}};
    const CSurfelCollection c(std::move(d));
    const CCovarianceEllipsoid& e = c.GetDerivedData()->GetCovarianceEllipsoid();
    const CbVector3d centre(2.0, 0.2, 0.4);
    EXPECT_NEAR((e.GetCentre() - centre).Length(), 0.0, 1e-12);
    EXPECT_EQ(e.GetSigmaScale(), 1.0f);
    // Largest spread first; the axes' signs are free.
    const CbVector3d axes[3] = {
        {1, 0, 0}, {0, 0.5257311121191336, -0.85065080835204}, {0, 0.85065080835204, 0.5257311121191336}};
    const double sigmas[3] = {std::sqrt(3.2), std::sqrt(0.2 + std::sqrt(0.008)), std::sqrt(0.2 - std::sqrt(0.008))};
    for (int k = 0; k < 3; ++k)
    {
        const CbVector3d end = e.GetAxisEnd(k) - centre;
        EXPECT_NEAR(end.Length(), sigmas[k], 1e-6) << "axis " << k;
        EXPECT_NEAR(std::fabs(end.Dot(axes[k])), sigmas[k], 1e-6) << "axis " << k;
        // Points 2k and 2k + 1 are the end and its mirror through the centre.
        EXPECT_NEAR((CbVector3d(e[2 * k]) + CbVector3d(e[2 * k + 1]) - centre * 2.0).Length(), 0.0, 1e-6);
    }

    SSurfelData single; // all six points on it
    single.vecPositions = {{1, 2, 3}};
    const CSurfelCollection one(std::move(single));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(one.GetDerivedData()->GetCovarianceEllipsoid()[i], CbVector3f(1, 2, 3));

    const CSurfelCollection empty{SSurfelData()}; // valid, and has nothing
    const auto derived = empty.GetDerivedData();
    EXPECT_TRUE(empty.GetCount() == 0 && !empty.FindElementAccess(typeid(CSCElementDefinitionPosition)) &&
                derived->GetSampleOrder().empty() && !derived->GetBoundingBox().box.IsValid());
    EXPECT_EQ(derived->GetCovarianceEllipsoid().GetSigmaScale(), -1.0f);
}

// Evenly spread or with 90 % of the points in a hundredth of the area, the first 1 % of the order hits
// nearly every cell of a 16 x 16 grid (400 random draws would leave about 50 of the 256 empty).
TEST(SurfelCollection, DrawnSampleOrderIsADeterministicPermutationThatSpreads)
{
    for (bool clustered : {false, true})
    {
        std::mt19937 random(clustered ? 12 : 11);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        SSurfelData d;
        for (int i = 0; i < 40000; ++i)
        {
            const float shrink = clustered && i % 10 != 0 ? 0.1f : 1.0f;
            const float x = unit(random) * shrink, y = unit(random) * shrink;
            d.vecPositions.emplace_back(x, y, 0.05f * std::sin(6.0f * x) * std::cos(5.0f * y));
        }
        const std::vector<uint32_t> order = CSurfelCollection(d).GetDerivedData()->GetSampleOrder();
        EXPECT_EQ(order, CSurfelCollection(d).GetDerivedData()->GetSampleOrder());
        ASSERT_TRUE(order.size() == d.vecPositions.size() && IsPermutation(order));
        std::set<int> cells;
        for (size_t s = 0; s < 400; ++s)
            cells.insert(std::min(15, static_cast<int>(d.vecPositions[order[s]].y * 16)) * 16 +
                         std::min(15, static_cast<int>(d.vecPositions[order[s]].x * 16)));
        EXPECT_GE(cells.size(), 250u) << (clustered ? "clustered" : "even");
    }
    SSurfelData same; // identical positions still give a permutation
    same.vecPositions.assign(100, CbVector3f(1, 1, 1));
    EXPECT_TRUE(IsPermutation(CSurfelCollection(std::move(same)).GetDerivedData()->GetSampleOrder()));
}

TEST(SurfelsFromPoints, NormalsOfATiltedPlaneFollowTheViewDirectionAndBadInputIsRejected)
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
        const CbVector3d up(-0.3, 0.2, 1.0), expected = up * (view / up.Length());
        for (const CbVector3f& n : EstimateNormals(plane, 12, options))
        {
            EXPECT_NEAR(CbVector3d(n).Length(), 1.0, 1e-6);
            EXPECT_GT(CbVector3d(n).Dot(expected), std::cos(0.05 * kPi / 180.0)); // within 0.05 degrees
        }
    }
    const std::vector<CbVector3f> two(plane.begin(), plane.begin() + 2);
    EXPECT_STREQ(Thrown([&] { EstimateNormals(two, 12, options); }).what(),
                 "Normal estimation needs at least 3 points, got 2.");
    EXPECT_STREQ(Thrown([&] { EstimateNormals(plane, 2, options); }).what(),
                 "Normal estimation needs at least 3 neighbours, got 2.");
    options.vViewDirection = CbVector3f();
    EXPECT_STREQ(Thrown([&] { EstimateNormals(plane, 12, options); }).what(),
                 "The view direction must be a finite, non-zero vector.");
}

TEST(SurfelsFromPoints, BoundaryQualitySpacingAndSurfelsOfAScan)
{
    // A 4 x 4 range image with one empty cell inside and one empty corner: only point 8 has all four
    // neighbours; 5 and 9 touch the hole, the rest the image's edge.
    IO::SPointCloud cloud;
    cloud.uiGridRows = cloud.uiGridCols = 4;
    cloud.vecGrid = {0, 1, 2, 3, 4, 5, -1, 6, 7, 8, 9, 10, 11, 12, 13, -1};
    cloud.vecPositions.resize(14);
    EXPECT_EQ(BoundaryFlagsFromGrid(cloud), (std::vector<uint8_t>{1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1}));
    cloud.vecGrid.clear();
    EXPECT_TRUE(BoundaryFlagsFromGrid(cloud).empty() && QualityFromConfidence({}).empty());
    EXPECT_EQ(QualityFromConfidence({0.0f, 0.5f, 1.0f, -0.25f}), (std::vector<uint8_t>{0, 128, 255, 0}));
    EXPECT_EQ(QualityFromConfidence({0.0f, 50.0f, 200.0f}), (std::vector<uint8_t>{0, 64, 255}));

    // A regular grid has the grid step as its spacing, wherever it lies; duplicates are zero apart.
    std::vector<CbVector3f> grid;
    for (int k = 0; k < 20 * 21; ++k)
        grid.emplace_back(100.0f + 0.5f * (k / 21), 0.5f * (k % 21), 3.0f);
    EXPECT_NEAR(MedianNeighbourSpacing(grid), 0.5, 1e-5);
    EXPECT_EQ(MedianNeighbourSpacing({{1, 2, 3}, {1, 2, 3}, {1, 2, 3}}), 0.0);
    EXPECT_STREQ(Thrown([&] { MedianNeighbourSpacing({grid[0]}); }).what(),
                 "The sampling density needs at least 2 points, got 1.");

    // A small height field in metres with file normals, one of them missing, and confidences.
    cloud = IO::SPointCloud();
    cloud.vecNormals.assign(100, CbVector3f(0.0f, 0.0f, 2.0f));
    for (int k = 0; k < 100; ++k)
        cloud.vecPositions.emplace_back(0.001f * (k / 10), 0.001f * (k % 10), 0.0f),
            cloud.vecConfidence.push_back(0.01f * (k / 10 + k % 10));
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
    EXPECT_STREQ(Thrown([&] { SurfelsFromPoints(cloud, options); }).what(),
                 "The scale factor must be finite and positive, got 0.");
}

// The same neighbourhoods as the normals, decomposed by the iterative solver behind the library's PCA:
// the closed form may differ by rounding only. Real scans (millimetres), and a sphere sampled on rings
// whose points crowd near the poles into nearly flat, nearly straight neighbourhoods; seen from its
// centre, off the origin, every normal of the sphere points inwards.
TEST(SurfelsFromPoints, ClosedFormNormalsStayWithinMicroradiansOfTheIterativeSolver)
{
    std::vector<std::vector<CbVector3f>> sets;
    for (const char* file : {"/data/bun000.ply", "/data/dragon/dragonStandRight_48.ply"})
    {
        sets.emplace_back();
        for (const CbVector3f& p : IO::CPointCloudReader::Read(std::string(VELM_SOURCE_DIR) + file).vecPositions)
            sets.back().push_back(p * 1000.0f);
    }
    const CbVector3d centre(10.0, -20.0, 30.0);
    sets.emplace_back();
    for (int k = 0; k < 60 * 120; ++k)
    {
        const double t = kPi * (k / 120 + 0.5) / 60, f = 2 * kPi * (k % 120) / 120;
        sets.back().emplace_back(centre +
                                 CbVector3d(std::sin(t) * std::cos(f), std::sin(t) * std::sin(f), std::cos(t)) * 50.0);
    }
    SSurfelsFromPointsOptions options;
    options.bUseViewpoint = true;
    options.vViewpoint = CbVector3f(centre);
    for (const std::vector<CbVector3f>& points : sets)
    {
        const std::vector<CbVector3f> normals = EstimateNormals(points, 12, options);
        const CKdTree3D tree(Share(points));
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
            if (&points == &sets.back())
            {
                ASSERT_GT(normal.Dot(centre - CbVector3d(points[i])), 0.0) << i;
            }
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
        EXPECT_TRUE(
            std::tie(*scan.spTree->GetPositions(), scan.data.vecNormals, scan.data.vecBoundaryFlags, scan.dSpacing) ==
            std::tie(reference.vecPositions, reference.vecNormals, reference.vecBoundaryFlags, spacing));
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

// The integer points give exact ties and distances exactly on a radius, so the brute force pins the
// inclusive limit and the lower index first. ForEachPositionsKNearest must give every position once,
// with exactly the search's answer: on exact ties, duplicates, a far cluster that makes the reach
// guessed from the leaf before far too short or too long, fewer points than k, and on threads. Invalid
// limits and query points find nothing; a tree of invalid points cannot be built.
TEST(KdTree, QueriesMatchBruteForceFindNothingOnDegenerateInputAndGiveEveryPositionsNearest)
{
    std::vector<CbVector3f> cloud = Cloud(1, 1500, 3);
    for (size_t n = 0; n < 50; ++n) // duplicates after their originals
        cloud.push_back(cloud[n * 7]);
    for (int n = 0; n < 40; ++n) // sparse, far away
        cloud.emplace_back(1000.0f + 37.0f * static_cast<float>(n % 7), -500.0f + 11.0f * static_cast<float>(n), 3.0f);
    const auto points = Share(cloud);
    const CKdTree3D tree(points);
    for (const CbVector3f& q : Cloud(3, 250, 4))
    {
        EXPECT_EQ(tree.FindNearest(q, FLT_MAX, 0), Brute(*points, q, 1, FLT_MAX)[0].first);
        EXPECT_EQ(KNearest(tree, q, 6, FLT_MAX), Brute(*points, q, 6, FLT_MAX));
        for (float radius : {0.0f, 1.0f, 1.7f, 2.0f, 3.0f})
        {
            const Answer expected = Brute(*points, q, 0xFFFFFFFFu, radius); // k beyond the count: all within
            EXPECT_EQ(KNearest(tree, q, 0xFFFFFFFFu, radius), expected) << "radius " << radius;
            EXPECT_EQ(tree.FindNearest(q, radius, 0), expected.empty() ? 0xFFFFFFFFu : expected[0].first);
            std::vector<uint32_t> within(expected.size());
            std::transform(expected.begin(), expected.end(), within.begin(), [](const auto& e) { return e.first; });
            std::sort(within.begin(), within.end());
            EXPECT_EQ(InRadius(tree, q, radius), within) << "radius " << radius;
        }
    }

    CThreadPool pool(3);
    for (const auto& set : {points, Share({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 1, 0}})})
        for (uint32_t k : {1u, 2u, 12u, 40u})
            for (CThreadPool* threads : {static_cast<CThreadPool*>(nullptr), &pool})
            {
                SCOPED_TRACE(testing::Message() << set->size() << " points, k " << k);
                const CKdTree3D setTree(set);
                std::vector<Answer> found(set->size());
                setTree.ForEachPositionsKNearest(k, threads, [&](uint32_t i, const SKdTreeNeighbour* n, size_t count) {
                    EXPECT_TRUE(found[i].empty()) << "position " << i << " twice";
                    for (size_t j = 0; j < count; ++j)
                        found[i].emplace_back(n[j].uiIndex, n[j].fDistanceSqr);
                });
                for (uint32_t i = 0; i < set->size(); ++i) // never empty: each position is its own nearest
                    ASSERT_EQ(found[i], KNearest(setTree, (*set)[i], k, FLT_MAX)) << i;
            }

    const CKdTree3D two(Share({{0, 0, 0}, {1, 1, 1}}));
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::pair<CbVector3f, float> queries[] = {
        {{0, 0, 0}, -1.0f}, {{0, 0, 0}, nan}, {{nan, 0, 0}, FLT_MAX}, {{0, -inf, 0}, inf}, {{inf, 0, 0}, inf}};
    for (const auto& [q, limit] : queries)
        EXPECT_TRUE(two.FindNearest(q, limit, 0) == 0xFFFFFFFFu && InRadius(two, q, limit).empty() &&
                    KNearest(two, q, 3, limit).empty())
            << q.x << ", " << q.y << ", " << q.z << " within " << limit;
    EXPECT_TRUE(KNearest(two, CbVector3f(0, 0, 0), 0, FLT_MAX).empty());

    // An infinite limit admits every point, even where every distance overflows float.
    EXPECT_EQ(two.FindNearest(CbVector3f(3e38f, 3e38f, 0), inf, 0), 0u);
    EXPECT_EQ(InRadius(two, CbVector3f(-3e38f, 0, 0), inf), (std::vector<uint32_t>{0, 1}));

    EXPECT_EQ(CKdTree3D(Share({})).FindNearest(CbVector3f(0, 0, 0), FLT_MAX, 0), 0xFFFFFFFFu);
    EXPECT_THROW(CKdTree3D(nullptr), VelmException);
    EXPECT_THROW(CKdTree3D(Share({{0, inf, 0}})), VelmException);
}

TEST(KdTree, ATreeBuiltOnThreadsAnswersAsTheOneBuiltAlone)
{
    // 60 000 points, enough to be cut at medians into 2 or 4 parts, with duplicates and ties.
    std::vector<CbVector3f> points = Cloud(1, 60000, 5);
    points.insert(points.end(), points.begin(), points.begin() + 500);
    const auto shared = Share(points);
    const CKdTree3D alone(shared);
    for (uint32_t threads : {2u, 3u, 4u})
    {
        SCOPED_TRACE(threads);
        CThreadPool pool(threads);
        const CKdTree3D split(shared, &pool);
        for (const CbVector3f& p : Cloud(3, 300, 6))
        {
            for (uint32_t k : {1u, 7u, 40u})
                ASSERT_EQ(KNearest(alone, p, k, 30.0f), KNearest(split, p, k, 30.0f));
            ASSERT_EQ(InRadius(alone, p, 3.0f), InRadius(split, p, 3.0f));
            ASSERT_EQ(alone.FindNearest(p, FLT_MAX, 0), split.FindNearest(p, FLT_MAX, 0));
        }
    }
}

// A moved tree must answer as one built over the moved positions: radii exactly on moved distances, k
// beyond the count, limits, far from the origin (coarsest rounding) and a motion a little off rigid.
TEST(KdTree, AMovedTreeAnswersAsATreeOverTheMovedPositions)
{
    for (const double offset : {0.0, 900.0})
        for (const double skew : {0.0, 3e-5})
        {
            std::vector<CbVector3f> cloud = Cloud(1, 1500, 5);
            for (CbVector3f& p : cloud)
                p = p + CbVector3f(static_cast<float>(offset), static_cast<float>(-offset), 0.0f);
            CbMatrix4Rd motion = SyntheticScans::Motion(CbVector3d(1, 2, 2), 40.0, CbVector3d(37.25, -12.5, 3.125));
            motion.e[1] += skew, motion.e[10] -= skew;
            const CMovedKdTree3D moved(std::make_shared<const CKdTree3D>(Share(cloud)), motion);
            const CKdTree3D rebuilt(moved.GetPositions());
            const std::vector<CbVector3f>& points = *moved.GetPositions();
            for (size_t n = 0; n < points.size(); n += 7)
            {
                const float onPoint = std::sqrt(KdTreeSquaredDistance(points[(n * 13) % points.size()], points[n]));
                for (const CbVector3f& at : {points[n], points[n] + CbVector3f(0.3f, -0.2f, 0.1f)})
                {
                    SCOPED_TRACE(testing::Message() << "at point " << n << ", on-point distance " << onPoint);
                    for (float radius : {0.0f, 1.0f, 1.5f, onPoint, std::nextafter(onPoint, 0.0f)})
                    {
                        ASSERT_EQ(InRadius(moved, at, radius), InRadius(rebuilt, at, radius)) << "radius " << radius;
                        ASSERT_EQ(moved.FindNearest(at, radius, 0), rebuilt.FindNearest(at, radius, 0));
                    }
                    for (uint32_t k : {1u, 6u, 12u})
                        for (float limit : {FLT_MAX, 1.0f, onPoint})
                            ASSERT_EQ(KNearest(moved, at, k, limit), KNearest(rebuilt, at, k, limit))
                                << k << ", " << limit;
                }
            }
            EXPECT_EQ(KNearest(moved, points[0], 0xFFFFFFFFu, FLT_MAX),
                      KNearest(rebuilt, points[0], 0xFFFFFFFFu, FLT_MAX));
            EXPECT_EQ(moved.FindNearest(CbVector3f(NAN, 0.0f, 0.0f), 1.0f, 0), 0xFFFFFFFFu);
            EXPECT_TRUE(InRadius(moved, points[0], -1.0f).empty());
        }
    CbMatrix4Rd stretch, projective;
    stretch.e[0] = 1.1, projective.e[3] = 1e-3;
    EXPECT_FALSE(CMovedKdTree3D::Accepts(stretch) || CMovedKdTree3D::Accepts(projective));
    EXPECT_THROW(CMovedKdTree3D(std::make_shared<const CKdTree3D>(Share(Cloud(3, 0, 1))), stretch),
                 std::invalid_argument);
}
