#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/CMovedKdTree3D.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cfloat>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

using namespace Base;

namespace
{
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

Answer AsAnswer(const std::vector<SKdTreeNeighbour>& neighbours)
{
    Answer result;
    for (const SKdTreeNeighbour& n : neighbours)
        result.emplace_back(n.uiIndex, n.fDistanceSqr);
    return result;
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

// The integer points give exact ties and distances exactly on a radius, so the brute force pins the
// inclusive limit and the lower index first; results are appended to what the caller's list holds.
TEST(KdTree, QueriesMatchBruteForce)
{
    std::vector<CbVector3f> cloud = Cloud(1, 1500, 3);
    for (size_t n = 0; n < 50; ++n) // duplicates after their originals
        cloud.push_back(cloud[n * 7]);
    const auto points = Share(cloud);
    const CKdTree3D tree(points);
    for (const CbVector3f& q : Cloud(3, 250, 4))
    {
        EXPECT_EQ(tree.FindNearest(q, FLT_MAX, 0), Brute(*points, q, 1, FLT_MAX)[0].first);
        std::vector<SKdTreeNeighbour> six = {{99, 0.5f}};
        tree.FindKNearest(six, q, 6, FLT_MAX);
        Answer expected = Brute(*points, q, 6, FLT_MAX);
        expected.insert(expected.begin(), {99, 0.5f});
        EXPECT_EQ(AsAnswer(six), expected);
        for (float radius : {0.0f, 1.0f, 1.7f, 2.0f, 3.0f})
        {
            expected = Brute(*points, q, 0xFFFFFFFFu, radius);
            std::vector<SKdTreeNeighbour> all; // k beyond the count: every point within the limit
            tree.FindKNearest(all, q, 0xFFFFFFFFu, radius);
            EXPECT_EQ(AsAnswer(all), expected) << "radius " << radius;
            EXPECT_EQ(tree.FindNearest(q, radius, 0), expected.empty() ? 0xFFFFFFFFu : expected[0].first);

            std::vector<uint32_t> within = {77}, expectedWithin = {77};
            tree.FindInRadius(within, q, radius);
            for (const auto& entry : expected)
                expectedWithin.push_back(entry.first);
            std::sort(expectedWithin.begin() + 1, expectedWithin.end());
            EXPECT_EQ(within, expectedWithin) << "radius " << radius;
        }
    }
}

TEST(KdTree, DegenerateInputFindsNothingOrThrows)
{
    const CKdTree3D tree(Share({{0, 0, 0}, {1, 1, 1}}));
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    std::vector<uint32_t> within;
    std::vector<SKdTreeNeighbour> k;
    // Negative or NaN limits, query points with a NaN or infinite coordinate.
    const std::pair<CbVector3f, float> queries[] = {
        {{0, 0, 0}, -1.0f}, {{0, 0, 0}, nan}, {{nan, 0, 0}, FLT_MAX}, {{0, -inf, 0}, inf}, {{inf, 0, 0}, inf}};
    for (const auto& q : queries)
    {
        EXPECT_EQ(tree.FindNearest(q.first, q.second, 0), 0xFFFFFFFFu);
        tree.FindInRadius(within, q.first, q.second);
        tree.FindKNearest(k, q.first, 3, q.second);
    }
    tree.FindKNearest(k, CbVector3f(0, 0, 0), 0, FLT_MAX);
    EXPECT_TRUE(within.empty());
    EXPECT_TRUE(k.empty());

    // An infinite limit admits every point, even where every distance overflows float.
    EXPECT_EQ(tree.FindNearest(CbVector3f(3e38f, 3e38f, 0), inf, 0), 0u);
    tree.FindInRadius(within, CbVector3f(-3e38f, 0, 0), inf);
    EXPECT_EQ(within, (std::vector<uint32_t>{0, 1}));

    EXPECT_EQ(CKdTree3D(Share({})).FindNearest(CbVector3f(0, 0, 0), FLT_MAX, 0), 0xFFFFFFFFu);
    EXPECT_THROW(CKdTree3D(nullptr), VelmException);
    EXPECT_THROW(CKdTree3D(Share({{0, inf, 0}})), VelmException);
}

TEST(KdTree, ATreeBuiltOnThreadsAnswersAsTheOneBuiltAlone)
{
    // 60 000 points on a wavy sheet with duplicates and ties, cut at medians into 2 or 4 parts.
    std::mt19937 random(5);
    std::uniform_real_distribution<float> u(-100.0f, 100.0f);
    std::vector<CbVector3f> points;
    for (int i = 0; i < 60000; ++i)
    {
        const float x = std::round(u(random) * 4.0f) / 4.0f, y = u(random);
        points.emplace_back(x, y, 5.0f * std::sin(0.05f * x) + 0.01f * u(random));
    }
    points.insert(points.end(), points.begin(), points.begin() + 500);
    const auto shared = std::make_shared<const std::vector<CbVector3f>>(points);
    const CKdTree3D alone(shared);
    for (uint32_t threads : {2u, 3u, 4u})
    {
        SCOPED_TRACE(threads);
        CThreadPool pool(threads);
        const CKdTree3D split(shared, &pool);
        for (int q = 0; q < 300; ++q)
        {
            const CbVector3f p(u(random), u(random), 0.1f * u(random));
            for (uint32_t k : {1u, 7u, 40u})
            {
                std::vector<SKdTreeNeighbour> a, b;
                alone.FindKNearest(a, p, k, 30.0f);
                split.FindKNearest(b, p, k, 30.0f);
                ASSERT_EQ(AsAnswer(a), AsAnswer(b));
            }
            std::vector<uint32_t> a, b;
            alone.FindInRadius(a, p, 3.0f);
            split.FindInRadius(b, p, 3.0f);
            ASSERT_EQ(a, b);
            ASSERT_EQ(alone.FindNearest(p, FLT_MAX, 0), split.FindNearest(p, FLT_MAX, 0));
        }
    }
}

// Every position once, with exactly the search's answer: on integer points (exact ties), duplicates,
// a far cluster that makes the reach guessed from the leaf before far too short or too long, fewer
// points than k, and on a pool of threads.
TEST(KdTree, TheNearestOfEveryPositionAreTheSearchesAnswers)
{
    std::vector<CbVector3f> cloud = Cloud(1, 1500, 8);
    for (size_t n = 0; n < 60; ++n)
        cloud.push_back(cloud[n * 5]);
    for (int n = 0; n < 40; ++n) // sparse, far away
        cloud.emplace_back(1000.0f + 37.0f * static_cast<float>(n % 7), -500.0f + 11.0f * static_cast<float>(n), 3.0f);
    CThreadPool pool(3);
    for (const auto& points : {Share(cloud), Share({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 1, 0}})})
        for (uint32_t k : {1u, 2u, 12u, 40u})
            for (CThreadPool* threads : {static_cast<CThreadPool*>(nullptr), &pool})
            {
                SCOPED_TRACE(testing::Message() << points->size() << " points, k " << k);
                const CKdTree3D tree(points);
                std::vector<Answer> found(points->size());
                std::vector<int> calls(points->size(), 0);
                tree.ForEachPositionsKNearest(k, threads, [&](uint32_t i, const SKdTreeNeighbour* n, size_t count) {
                    ++calls[i];
                    found[i] = AsAnswer(std::vector<SKdTreeNeighbour>(n, n + count));
                });
                for (uint32_t i = 0; i < points->size(); ++i)
                {
                    std::vector<SKdTreeNeighbour> searched;
                    tree.FindKNearest(searched, (*points)[i], k, FLT_MAX);
                    ASSERT_EQ(calls[i], 1) << i;
                    ASSERT_EQ(found[i], AsAnswer(searched)) << i;
                }
            }
}

// A tree over positions moved by a rigid motion, answered through the original tree, must answer as a
// tree built over the moved positions: radii that fall exactly on moved distances, k beyond the count,
// limits, scans far from the origin (where float rounding is coarsest) and a motion a little off
// rigid (a start written with six digits) included.
TEST(KdTree, AMovedTreeAnswersAsATreeOverTheMovedPositions)
{
    for (const double offset : {0.0, 900.0})
        for (const double skew : {0.0, 3e-5})
        {
            std::vector<CbVector3f> cloud = Cloud(1, 1500, 5);
            for (CbVector3f& p : cloud)
                p = p + CbVector3f(static_cast<float>(offset), static_cast<float>(-offset), 0.0f);
            const auto original = std::make_shared<const CKdTree3D>(Share(cloud));
            // A turn of about 40 degrees about (1, 2, 2) / 3, then a shift.
            const double c = std::cos(0.7), s = std::sin(0.7), u[3] = {1.0 / 3, 2.0 / 3, 2.0 / 3};
            CbMatrix4Rd motion;
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b)
                {
                    const double cross = a == b ? 0.0 : ((b == (a + 1) % 3) ? 1.0 : -1.0) * u[3 - a - b];
                    motion.e[4 * a + b] = (a == b ? c : 0.0) + (1 - c) * u[a] * u[b] + s * cross;
                }
            motion.e[12] = 37.25;
            motion.e[13] = -12.5;
            motion.e[14] = 3.125;
            motion.e[1] += skew;
            motion.e[10] -= skew;
            const CMovedKdTree3D moved(original, motion);
            const CKdTree3D rebuilt(moved.GetPositions());
            const std::vector<CbVector3f>& points = *moved.GetPositions();

            for (size_t n = 0; n < points.size(); n += 7)
            {
                const CbVector3f& q = points[n];
                const CbVector3f near = q + CbVector3f(0.3f, -0.2f, 0.1f);
                const float onPoint = std::sqrt(KdTreeSquaredDistance(points[(n * 13) % points.size()], q));
                for (const CbVector3f& at : {q, near})
                {
                    for (float radius : {0.0f, 1.0f, 1.5f, onPoint, std::nextafter(onPoint, 0.0f)})
                    {
                        std::vector<uint32_t> a = {5}, b = {5};
                        moved.FindInRadius(a, at, radius);
                        rebuilt.FindInRadius(b, at, radius);
                        ASSERT_EQ(a, b) << "radius " << radius << " at point " << n;
                        ASSERT_EQ(moved.FindNearest(at, radius, 0), rebuilt.FindNearest(at, radius, 0));
                    }
                    for (uint32_t k : {1u, 6u, 12u})
                        for (float limit : {FLT_MAX, 1.0f, onPoint})
                        {
                            std::vector<SKdTreeNeighbour> a = {{3, 1.0f}}, b = {{3, 1.0f}};
                            moved.FindKNearest(a, at, k, limit);
                            rebuilt.FindKNearest(b, at, k, limit);
                            ASSERT_EQ(AsAnswer(a), AsAnswer(b))
                                << "k " << k << " within " << limit << " at point " << n;
                        }
                }
            }
            std::vector<SKdTreeNeighbour> all, allRebuilt;
            moved.FindKNearest(all, points[0], 0xFFFFFFFFu, FLT_MAX);
            rebuilt.FindKNearest(allRebuilt, points[0], 0xFFFFFFFFu, FLT_MAX);
            EXPECT_EQ(AsAnswer(all), AsAnswer(allRebuilt));
            EXPECT_EQ(moved.FindNearest(CbVector3f(NAN, 0.0f, 0.0f), 1.0f, 0), 0xFFFFFFFFu);
            std::vector<uint32_t> none;
            moved.FindInRadius(none, points[0], -1.0f);
            EXPECT_TRUE(none.empty());
        }
    CbMatrix4Rd stretch;
    stretch.e[0] = 1.1;
    EXPECT_FALSE(CMovedKdTree3D::Accepts(stretch));
    EXPECT_THROW(CMovedKdTree3D(std::make_shared<const CKdTree3D>(Share(Cloud(3, 0, 1))), stretch),
                 std::invalid_argument);
    CbMatrix4Rd projective;
    projective.e[3] = 1e-3;
    EXPECT_FALSE(CMovedKdTree3D::Accepts(projective));
}
