#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <utility>
#include <vector>

using namespace Base;

namespace
{
float Distance(const CbVector3f& a, const CbVector3f& b)
{
    const float dx = b.x - a.x;
    const float dy = b.y - a.y;
    const float dz = b.z - a.z;
    return (dy * dy + dx * dx) + dz * dz;
}

using Answer = std::vector<std::pair<uint32_t, float>>;

// Reference answer by looking at every point: the k smallest by (distance, index) within the limit.
Answer BruteKNearest(const std::vector<CbVector3f>& points, const CbVector3f& q, uint32_t k, float maxDistance)
{
    std::vector<std::pair<float, uint32_t>> all;
    for (uint32_t i = 0; i < points.size(); ++i)
        if (Distance(points[i], q) <= maxDistance * maxDistance)
            all.emplace_back(Distance(points[i], q), i);
    std::sort(all.begin(), all.end());
    Answer result;
    for (size_t n = 0; n < all.size() && n < k; ++n)
        result.emplace_back(all[n].second, all[n].first);
    return result;
}

std::vector<uint32_t> BruteInRadius(const std::vector<CbVector3f>& points, const CbVector3f& q, float radius)
{
    std::vector<uint32_t> result;
    for (const auto& entry : BruteKNearest(points, q, 0xFFFFFFFFu, radius))
        result.push_back(entry.first);
    std::sort(result.begin(), result.end());
    return result;
}

Answer AsAnswer(const std::vector<SKdTreeNeighbour>& neighbours)
{
    Answer result;
    for (const SKdTreeNeighbour& n : neighbours)
        result.emplace_back(n.uiIndex, n.fDistanceSqr);
    return result;
}

// Points on an integer lattice (many exact ties and distances exactly on a radius) and points
// spread at random.
std::vector<CbVector3f> LatticeAndScatter(uint32_t seed)
{
    std::vector<CbVector3f> points;
    for (int x = 0; x < 12; ++x)
        for (int y = 0; y < 12; ++y)
            for (int z = 0; z < 4; ++z)
                points.emplace_back(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> coordinate(-2.0f, 14.0f);
    for (int n = 0; n < 1500; ++n)
        points.emplace_back(coordinate(random), coordinate(random), coordinate(random) * 0.3f);
    // Duplicates of lattice points after them: equal distances must go to the lower index.
    for (int n = 0; n < 50; ++n)
        points.push_back(points[static_cast<size_t>(n * 7)]);
    return points;
}

std::vector<CbVector3f> Queries(uint32_t seed)
{
    std::vector<CbVector3f> queries;
    for (int x = -1; x < 13; x += 3)
        for (int y = -1; y < 13; y += 2)
            queries.emplace_back(static_cast<float>(x), static_cast<float>(y), 1.0f);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> coordinate(-4.0f, 16.0f);
    for (int n = 0; n < 300; ++n)
        queries.emplace_back(coordinate(random), coordinate(random), coordinate(random) * 0.3f);
    return queries;
}
} // namespace

TEST(KdTree, QueriesMatchBruteForce)
{
    const auto points = std::make_shared<const std::vector<CbVector3f>>(LatticeAndScatter(3));
    const CKdTree3D tree(points);
    const float maxFloat = std::numeric_limits<float>::max();
    for (const CbVector3f& q : Queries(4))
    {
        const auto nearest = BruteKNearest(*points, q, 1, maxFloat);
        EXPECT_EQ(tree.FindNearest(q, maxFloat, 0), nearest[0].first);

        std::vector<SKdTreeNeighbour> six;
        tree.FindKNearest(six, q, 6, maxFloat);
        EXPECT_EQ(AsAnswer(six), BruteKNearest(*points, q, 6, maxFloat));

        for (float radius : {0.0f, 0.5f, 1.0f, 1.7f, 2.0f, 3.0f})
        {
            std::vector<uint32_t> within;
            tree.FindInRadius(within, q, radius);
            EXPECT_EQ(within, BruteInRadius(*points, q, radius)) << "radius " << radius;

            std::vector<SKdTreeNeighbour> limited;
            tree.FindKNearest(limited, q, 20, radius);
            EXPECT_EQ(AsAnswer(limited), BruteKNearest(*points, q, 20, radius)) << "radius " << radius;

            const auto one = BruteKNearest(*points, q, 1, radius);
            EXPECT_EQ(tree.FindNearest(q, radius, 0), one.empty() ? 0xFFFFFFFFu : one[0].first);
        }
    }
}

TEST(KdTree, LimitsAreInclusiveAndTiesGoToTheLowerIndex)
{
    std::vector<CbVector3f> p = {{0, 0, 0}, {3, 0, 0}, {0, 4, 0}, {0, 0, 2}, {0, 0, 2}, {-3, 0, 0}};
    const auto points = std::make_shared<const std::vector<CbVector3f>>(p);
    const CKdTree3D tree(points);
    const CbVector3f origin(0, 0, 0);

    std::vector<uint32_t> within;
    tree.FindInRadius(within, origin, 3.0f);
    EXPECT_EQ(within, (std::vector<uint32_t>{0, 1, 3, 4, 5}));
    within.clear();
    tree.FindInRadius(within, origin, std::nextafter(3.0f, 0.0f));
    EXPECT_EQ(within, (std::vector<uint32_t>{0, 3, 4}));
    within.clear();
    tree.FindInRadius(within, CbVector3f(0, 0, 2), 0.0f);
    EXPECT_EQ(within, (std::vector<uint32_t>{3, 4}));

    // Distance 3 from (3, 0, 0) and (-3, 0, 0): the lower index first.
    std::vector<SKdTreeNeighbour> k;
    tree.FindKNearest(k, origin, 4, 100.0f);
    EXPECT_EQ(AsAnswer(k), (Answer{{0, 0.0f}, {3, 4.0f}, {4, 4.0f}, {1, 9.0f}}));

    EXPECT_EQ(tree.FindNearest(CbVector3f(0, 0, 2.5f), 0.5f, 0), 3u);
    EXPECT_EQ(tree.FindNearest(CbVector3f(0, 0, 2.5f), 0.49f, 0), 0xFFFFFFFFu);
    EXPECT_EQ(tree.FindNearest(CbVector3f(10, 10, 10), 1.0f, 0), 0xFFFFFFFFu);

    // Results are appended; a k beyond the count gives every point.
    std::vector<uint32_t> appended = {77};
    tree.FindInRadius(appended, origin, 2.0f);
    EXPECT_EQ(appended, (std::vector<uint32_t>{77, 0, 3, 4}));
    std::vector<SKdTreeNeighbour> all = {{99, 0.0f}};
    tree.FindKNearest(all, origin, 0xFFFFFFFFu, FLT_MAX);
    EXPECT_EQ(all.size(), 7u);
    EXPECT_EQ(all[0].uiIndex, 99u);
}

TEST(KdTree, DegenerateQueriesFindNothing)
{
    const auto points = std::make_shared<const std::vector<CbVector3f>>(std::vector<CbVector3f>{{0, 0, 0}, {1, 1, 1}});
    const CKdTree3D tree(points);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<uint32_t> within;
    std::vector<SKdTreeNeighbour> k;
    for (float limit : {-1.0f, nan})
    {
        EXPECT_EQ(tree.FindNearest(CbVector3f(0, 0, 0), limit, 0), 0xFFFFFFFFu);
        tree.FindInRadius(within, CbVector3f(0, 0, 0), limit);
        tree.FindKNearest(k, CbVector3f(0, 0, 0), 3, limit);
    }
    EXPECT_EQ(tree.FindNearest(CbVector3f(nan, 0, 0), FLT_MAX, 0), 0xFFFFFFFFu);
    tree.FindInRadius(within, CbVector3f(0, nan, 0), 10.0f);
    tree.FindKNearest(k, CbVector3f(0, 0, nan), 3, FLT_MAX);
    tree.FindInRadius(within, CbVector3f(inf, 0, 0), inf);
    EXPECT_EQ(tree.FindNearest(CbVector3f(0, -inf, 0), inf, 0), 0xFFFFFFFFu);
    tree.FindKNearest(k, CbVector3f(0, 0, 0), 0, FLT_MAX);
    EXPECT_TRUE(within.empty());
    EXPECT_TRUE(k.empty());

    // An infinite limit admits every point, even from a query so far away that every distance
    // overflows; such equal distances go to the lower index.
    EXPECT_EQ(tree.FindNearest(CbVector3f(3e38f, 3e38f, 0), inf, 0), 0u);
    EXPECT_EQ(tree.FindNearest(CbVector3f(100, 100, 0), inf, 0), 1u);
    tree.FindInRadius(within, CbVector3f(-3e38f, 0, 0), inf);
    EXPECT_EQ(within, (std::vector<uint32_t>{0, 1}));

    const CKdTree3D empty(std::make_shared<const std::vector<CbVector3f>>());
    EXPECT_EQ(empty.FindNearest(CbVector3f(0, 0, 0), FLT_MAX, 0), 0xFFFFFFFFu);
    empty.FindKNearest(k, CbVector3f(0, 0, 0), 6, FLT_MAX);
    EXPECT_TRUE(k.empty());

    EXPECT_THROW(CKdTree3D(nullptr), VelmException);
    EXPECT_THROW(CKdTree3D(std::make_shared<const std::vector<CbVector3f>>(std::vector<CbVector3f>{{0, inf, 0}})),
                 VelmException);
}

TEST(KdTree, ConcurrentQueriesGiveTheSameAnswers)
{
    SSurfelData data;
    data.vecPositions = LatticeAndScatter(5);
    const CSurfelCollection collection(std::move(data));
    const auto derived = collection.GetDerivedData();
    const IKdTree3D& tree = derived->GetKdTree();
    const std::vector<CbVector3f> queries = Queries(6);

    // Every query appends to the thread's own lists.
    auto run = [&](std::vector<uint32_t>& out) {
        std::vector<SKdTreeNeighbour> k;
        for (int repeat = 0; repeat < 5; ++repeat)
            for (const CbVector3f& q : queries)
            {
                out.push_back(tree.FindNearest(q, FLT_MAX, 0));
                tree.FindInRadius(out, q, 1.5f);
                tree.FindKNearest(k, q, 6, FLT_MAX);
            }
        for (const SKdTreeNeighbour& n : k)
            out.push_back(n.uiIndex);
    };
    std::vector<uint32_t> reference;
    run(reference);
    std::vector<std::vector<uint32_t>> answers(4);
    std::vector<std::thread> threads;
    for (auto& a : answers)
        threads.emplace_back(run, std::ref(a));
    for (auto& t : threads)
        t.join();
    for (const auto& a : answers)
        EXPECT_EQ(a, reference);
}
