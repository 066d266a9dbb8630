#include "velm/Base/Features/Fpfh.h"
#include "velm/Base/Features/VoxelSubsample.h"
#include "velm/Base/SurfelData/CKdTree3D.h"

#include "SyntheticScans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <numeric>
#include <set>
#include <stdexcept>

using namespace Base::Features;

namespace
{
struct SCloud
{
    std::vector<CbVector3f> vecPositions, vecNormals;
};

std::unique_ptr<Base::CKdTree3D> Tree(const std::vector<CbVector3f>& positions)
{
    return std::make_unique<Base::CKdTree3D>(std::make_shared<const std::vector<CbVector3f>>(positions));
}

std::vector<CFpfh> Fpfh(const SCloud& c, float radius, uint32_t neighbours = 100, CThreadPool* pool = nullptr)
{
    return ComputeFpfh(c.vecPositions, c.vecNormals, *Tree(c.vecPositions), SFpfhOptions{radius, neighbours}, pool);
}

double L1(const CFpfh& a, const CFpfh& b)
{
    double d = 0.0;
    for (size_t k = 0; k < kFpfhBins; ++k)
        d += std::abs(static_cast<double>(a[k]) - b[k]);
    return d;
}
} // namespace

// Angles in the pair's own frame: a rigid motion moves them by rounding only, yet they differ between places
// (a noisy lattice of odd spacing: one of whole millimetres puts many pairs exactly on the radius). Bad normals,
// a lone point and a coincident pair must neither poison their neighbours with NaN nor depend on the threads.
TEST(Fpfh, InvariantUnderRigidMotionVaryingOverTheSurfaceAndTheSameOnAnyThreads)
{
    const CbMatrix4Rd motion = SyntheticScans::Motion(CbVector3d(0.3, -0.8, 0.5), 73.0, CbVector3d(250.0, -90.0, 40.0));
    const SyntheticScans::SWindow window{-40.0, 10.0, 103, 103, 1.07, 0.2, 5};
    const IO::SPointCloud scan = SyntheticScans::Scan(window), turned = SyntheticScans::Scan(window, motion);
    SCloud c, moved;
    for (uint32_t i : VoxelSubsample(scan.vecPositions, 3.0f))
    {
        c.vecPositions.push_back(scan.vecPositions[i]), c.vecNormals.push_back(scan.vecNormals[i]);
        moved.vecPositions.push_back(turned.vecPositions[i]), moved.vecNormals.push_back(turned.vecNormals[i]);
    }
    const std::vector<CFpfh> a = Fpfh(c, 15.0f), b = Fpfh(moved, 15.0f);
    size_t same = 0;
    double spread = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        same += L1(a[i], b[i]) <= 3e-3 ? 1 : 0, spread += L1(a[i], a[(i + a.size() / 2) % a.size()]);
    EXPECT_GE(same, a.size() * 99 / 100);
    EXPECT_GT(spread / a.size(), 0.1);

    const size_t regular = c.vecPositions.size();
    c.vecNormals[10] = CbVector3f(0.0f, 0.0f, 0.0f), c.vecNormals[20].y = std::numeric_limits<float>::quiet_NaN();
    c.vecPositions.push_back(c.vecPositions[30]), c.vecNormals.push_back(c.vecNormals[30]);
    c.vecPositions.emplace_back(1e4f, 1e4f, 1e4f), c.vecNormals.emplace_back(0.0f, 0.0f, 1.0f);
    const std::vector<CFpfh> alone = Fpfh(c, 12.0f);
    CThreadPool one(1), three(3);
    for (CThreadPool* pool : {&one, &three})
    {
        const std::vector<CFpfh> shared = Fpfh(c, 12.0f, 100, pool);
        ASSERT_EQ(shared.size(), alone.size());
        EXPECT_EQ(std::memcmp(shared.data(), alone.data(), alone.size() * sizeof(CFpfh)), 0);
    }
    // Each sub-histogram's mass: 1 for a point with neighbours, 0 for one without (and never NaN).
    for (size_t i = 0; i < alone.size(); ++i)
        for (size_t f = 0; f < 3; ++f)
            ASSERT_NEAR(std::accumulate(alone[i].begin() + 11 * f, alone[i].begin() + 11 * (f + 1), 0.0),
                        i == 10 || i == 20 || i == regular + 1 ? 0.0 : 1.0, 1e-5)
                << "point " << i;
    EXPECT_EQ(alone[30], alone[regular]);
}

// Worked by hand from the published definitions. A triangle: A (origin) and C (0,2,0) with normals along z,
// B (1,0,0) with its normal tilted 60 degrees towards x. The source of each pair is the point whose normal
// is nearer its line (A for AB, C for BC); the pairs fall into (alpha, phi, theta) bins AB (5,5,3),
// AC (5,5,5), BC (9,5,4), and FPFH(A) = SPFH(A) + (SPFH(B) / 1 + SPFH(C) / 2) / 2, renormalised. A fourth
// point without a normal beside them must not count as a neighbour.
TEST(Fpfh, MatchesHandWorkedExamplesAndRejectsBadInput)
{
    const float s60 = static_cast<float>(std::sqrt(0.75));
    const SCloud triangle{{{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 2.0f, 0.0f}, {0.5f, 0.5f, 0.0f}},
                          {{0.0f, 0.0f, 1.0f}, {s60, 0.0f, 0.5f}, {0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f}}};
    CFpfh expected{};
    expected[5] = 11.0f / 14.0f, expected[9] = 3.0f / 14.0f;                                           // alpha
    expected[11 + 5] = 1.0f;                                                                           // phi
    expected[22 + 3] = 6.0f / 14.0f, expected[22 + 4] = 3.0f / 14.0f, expected[22 + 5] = 5.0f / 14.0f; // theta
    const CFpfh a = Fpfh(triangle, 10.0f)[0];
    for (size_t k = 0; k < kFpfhBins; ++k)
        EXPECT_NEAR(a[k], expected[k], 1e-6) << "bin " << k;
    // Limited to its nearest neighbour A sees only B, and B only A: the pair AB alone.
    const std::vector<CbVector3f> abc(triangle.vecPositions.begin(), triangle.vecPositions.begin() + 3);
    const std::vector<CbVector3f> abcNormals(triangle.vecNormals.begin(), triangle.vecNormals.begin() + 3);
    const CFpfh ab = Fpfh({abc, abcNormals}, 10.0f, 1)[0];
    for (size_t k = 0; k < kFpfhBins; ++k)
        EXPECT_EQ(ab[k], k == 5 || k == 11 + 5 || k == 22 + 3 ? 1.0f : 0.0f) << "bin " << k;

    // A pair along x whose source normal leans 60 degrees towards the line (phi = sin 60) and whose target
    // normal leans 50 degrees across it: alpha = sin 50 in a unit frame, theta = 60 degrees. Bins 9, 10, 7.
    const float s50 = static_cast<float>(std::sin(50.0 * SyntheticScans::kPi / 180.0));
    const float c50 = static_cast<float>(std::cos(50.0 * SyntheticScans::kPi / 180.0));
    const SCloud pair{{{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}}, {{s60, 0.0f, 0.5f}, {0.0f, s50, c50}}};
    for (const CFpfh& h : Fpfh(pair, 10.0f))
        for (size_t k = 0; k < kFpfhBins; ++k)
            EXPECT_EQ(h[k], k == 9 || k == 11 + 10 || k == 22 + 7 ? 1.0f : 0.0f) << "bin " << k;

    // Normals or a tree of another size than the points, a radius that is not positive and finite.
    EXPECT_THROW(ComputeFpfh(abc, {abcNormals[0], abcNormals[1]}, *Tree(abc), SFpfhOptions{2.0f}),
                 std::invalid_argument);
    EXPECT_THROW(ComputeFpfh(abc, abcNormals, *Tree({abc[0], abc[1]}), SFpfhOptions{2.0f}), std::invalid_argument);
    for (float radius : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()})
        EXPECT_THROW(Fpfh({abc, abcNormals}, radius), std::invalid_argument);
}

// Cubes are cut by floor, not truncation: -0.5 and 0.5 lie in different cubes. Within a cube the point
// nearest the mean wins, the lower index on a tie; non-finite points are dropped. On random points
// exactly one point is kept per occupied cube, in index order.
TEST(VoxelSubsample, KeepsThePointNearestEachCubeMeanOnePerOccupiedCube)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<CbVector3f> points = {
        {0.9f, 0.9f, 0.9f},  {0.1f, 0.1f, 0.1f}, {0.75f, 0.5f, 0.5f}, {0.25f, 0.5f, 0.5f}, // cube (0,0,0)
        {-0.5f, 0.5f, 0.5f}, {nan, 0.5f, 0.5f},  {1.75f, 0.5f, 0.5f}, {1.25f, 0.5f, 0.5f}, // (-1,0,0), (1,0,0)
        {1.6f, 0.5f, 0.5f},  {0.5f, 0.5f, 0.55f}};
    EXPECT_EQ(VoxelSubsample(points, 1.0f), (std::vector<uint32_t>{4, 8, 9}));
    const std::vector<CbVector3f> pair = {{0.75f, 0.5f, 0.5f}, {0.25f, 0.5f, 0.5f}, {5.0f, 5.0f, 5.0f}};
    EXPECT_EQ(VoxelSubsample(pair, 1.0f), (std::vector<uint32_t>{0, 2}));
    for (float voxel : {0.0f, -2.0f, nan, std::numeric_limits<float>::infinity()})
        EXPECT_THROW(VoxelSubsample(points, voxel), std::invalid_argument);

    std::mt19937 random(7);
    std::uniform_real_distribution<float> coordinate(-20.0f, 20.0f);
    auto cube = [](const CbVector3f& p) {
        return std::array<double, 3>{std::floor(p.x / 3.0), std::floor(p.y / 3.0), std::floor(p.z / 3.0)};
    };
    std::set<std::array<double, 3>> occupied, seen;
    std::vector<CbVector3f> scattered(5000);
    for (CbVector3f& p : scattered)
        occupied.insert(cube(p = CbVector3f(coordinate(random), coordinate(random), 0.2f * coordinate(random))));
    const std::vector<uint32_t> kept = VoxelSubsample(scattered, 3.0f);
    EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end()));
    for (uint32_t i : kept)
        EXPECT_TRUE(seen.insert(cube(scattered[i])).second) << "a second point kept in the cube of point " << i;
    EXPECT_EQ(seen, occupied);
}
