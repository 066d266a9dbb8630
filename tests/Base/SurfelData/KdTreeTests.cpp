#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/CMovedKdTree3D.h"

#include "SyntheticScans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <limits>
#include <stdexcept>

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

// The integer points give exact ties and distances exactly on a radius, so the brute force pins the
// inclusive limit and the lower index first. ForEachPositionsKNearest must give every position once,
// with exactly the search's answer: on exact ties, duplicates, a far cluster that makes the reach
// guessed from the leaf before far too short or too long, fewer points than k, and on threads.
TEST(KdTree, QueriesMatchBruteForceAndTheNearestOfEveryPositionAreTheSearchesAnswers)
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
            std::vector<uint32_t> within;
            for (const auto& entry : expected)
                within.push_back(entry.first);
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
}

TEST(KdTree, DegenerateInputFindsNothingOrThrows)
{
    const CKdTree3D tree(Share({{0, 0, 0}, {1, 1, 1}}));
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    // Negative or NaN limits, query points with a NaN or infinite coordinate.
    const std::pair<CbVector3f, float> queries[] = {
        {{0, 0, 0}, -1.0f}, {{0, 0, 0}, nan}, {{nan, 0, 0}, FLT_MAX}, {{0, -inf, 0}, inf}, {{inf, 0, 0}, inf}};
    for (const auto& [q, limit] : queries)
    {
        EXPECT_EQ(tree.FindNearest(q, limit, 0), 0xFFFFFFFFu);
        EXPECT_TRUE(InRadius(tree, q, limit).empty());
        EXPECT_TRUE(KNearest(tree, q, 3, limit).empty());
    }
    EXPECT_TRUE(KNearest(tree, CbVector3f(0, 0, 0), 0, FLT_MAX).empty());

    // An infinite limit admits every point, even where every distance overflows float.
    EXPECT_EQ(tree.FindNearest(CbVector3f(3e38f, 3e38f, 0), inf, 0), 0u);
    EXPECT_EQ(InRadius(tree, CbVector3f(-3e38f, 0, 0), inf), (std::vector<uint32_t>{0, 1}));

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
            motion.e[1] += skew;
            motion.e[10] -= skew;
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
    stretch.e[0] = 1.1;
    projective.e[3] = 1e-3;
    EXPECT_FALSE(CMovedKdTree3D::Accepts(stretch) || CMovedKdTree3D::Accepts(projective));
    EXPECT_THROW(CMovedKdTree3D(std::make_shared<const CKdTree3D>(Share(Cloud(3, 0, 1))), stretch),
                 std::invalid_argument);
}
