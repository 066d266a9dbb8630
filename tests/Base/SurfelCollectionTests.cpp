#include "velm/Base/Interfaces/CSurfelCollectionMask.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

using namespace Base;

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

std::wstring MessageOf(SSurfelData data)
{
    try
    {
        CSurfelCollection collection(std::move(data));
    }
    catch (const VelmException& e)
    {
        EXPECT_STREQ(e.GetFilename(), "velm/Base/SurfelData/CSurfelCollection.cpp");
        return e.GetWideMessage().GetString();
    }
    ADD_FAILURE() << "no exception";
    return L"";
}
} // namespace

TEST(SurfelCollection, ElementsAreReadThroughTheirAccessors)
{
    static_assert(!std::is_copy_constructible<CSurfelCollection>::value, "");
    static_assert(!std::is_move_constructible<CSurfelCollection>::value, "");

    const CSurfelCollection c(FourSurfels());
    const ISurfelCollection& sc = c;
    ASSERT_EQ(sc.GetCount(), 4u);
    const auto& pos = sc.GetReadAccessor<CSCElementDefinitionPosition>();
    EXPECT_EQ(pos[3], CbVector3f(1, 1, 4));
    EXPECT_EQ(pos.uiStride, sizeof(CbVector3f));
    const auto& normals = sc.GetReadAccessor<CSCElementDefinitionNormal>();
    EXPECT_EQ(normals[0].uiCode, 0);
    EXPECT_EQ(normals[1].uiCode, 126);
    EXPECT_EQ(normals[2].uiCode, 255);
    EXPECT_EQ(normals[3].uiCode, 0x80FF);
    EXPECT_EQ(sc.GetReadAccessor<CSCElementDefinitionQuality>()[1], 128);
    EXPECT_EQ(sc.GetReadAccessor<CSCElementDefinitionWeight>()[2], 2.5f);
    EXPECT_EQ(sc.GetReadAccessor<CSCElementDefinitionCurvature>()[3], 4);
    EXPECT_EQ(sc.GetReadAccessor<CSCElementDefinitionBoundaryFlag>()[1], 1);
    EXPECT_EQ(sc.FindElementAccess(typeid(CSCElementDefinitionWeight)),
              &sc.GetReadAccessor<CSCElementDefinitionWeight>());
    EXPECT_EQ(sc.FindElementAccess(typeid(int)), nullptr);

    // Raw codes win over directions.
    SSurfelData raw = FourSurfels();
    raw.vecNormalCodes = {7, 8, 9, 0x2000};
    const CSurfelCollection r(std::move(raw));
    EXPECT_EQ(r.GetReadAccessor<CSCElementDefinitionNormal>()[3].uiCode, 0x2000);
    EXPECT_EQ(r.GetReadAccessor<CSCElementDefinitionNormal>()[0].uiCode, 7);
}

TEST(SurfelCollection, AbsentElementsAreNullAndTheReadAccessorThrows)
{
    SSurfelData d;
    d.vecPositions = {{1, 2, 3}, {4, 5, 6}};
    d.vecWeight = {1.0f, 2.0f};
    const CSurfelCollection c(std::move(d));
    EXPECT_NE(c.FindElementAccess(typeid(CSCElementDefinitionPosition)), nullptr);
    EXPECT_NE(c.FindElementAccess(typeid(CSCElementDefinitionWeight)), nullptr);
    for (const std::type_info* t : {&typeid(CSCElementDefinitionNormal), &typeid(CSCElementDefinitionQuality),
                                    &typeid(CSCElementDefinitionCurvature), &typeid(CSCElementDefinitionBoundaryFlag)})
        EXPECT_EQ(c.FindElementAccess(*t), nullptr) << t->name();

    try
    {
        c.GetReadAccessor<CSCElementDefinitionNormal>();
        FAIL() << "no exception";
    }
    catch (const VelmException& e)
    {
        EXPECT_STREQ(e.GetFilename(), "Base/Interfaces/ISurfelCollection");
        EXPECT_EQ(e.GetCodeLine(), 96u);
        EXPECT_STREQ(e.GetFunctionName(), "Base::ISurfelCollection::GetReadAccessor");
        EXPECT_STREQ(e.GetWideMessage().GetString(), L"Nicht verfuegbare ElementAccessor-Definition angefordert.");
        EXPECT_STREQ(e.what(), "Nicht verfuegbare ElementAccessor-Definition angefordert.");
    }

    // A collection of nothing is valid and has nothing.
    const CSurfelCollection empty{SSurfelData()};
    EXPECT_EQ(empty.GetCount(), 0u);
    EXPECT_EQ(empty.FindElementAccess(typeid(CSCElementDefinitionPosition)), nullptr);
    const auto derived = empty.GetDerivedData();
    EXPECT_TRUE(derived->GetSampleOrder().empty());
    EXPECT_FALSE(derived->GetBoundingBox().box.IsValid());
    EXPECT_EQ(derived->GetCovarianceEllipsoid().GetSigmaScale(), -1.0f);
    EXPECT_EQ(derived->GetKdTree().FindNearest(CbVector3f(0, 0, 0), 1e30f, 0), 0xFFFFFFFFu);
}

TEST(SurfelCollection, InvalidDataIsRejectedWithAClearMessage)
{
    SSurfelData shortWeights = FourSurfels();
    shortWeights.vecWeight.pop_back();
    EXPECT_EQ(MessageOf(shortWeights), L"Element Weight has 3 entries, but there are 4 positions.");

    SSurfelData longCodes = FourSurfels();
    longCodes.vecNormalCodes.assign(5, 0);
    EXPECT_EQ(MessageOf(longCodes), L"Element NormalCode has 5 entries, but there are 4 positions.");

    SSurfelData noPositions = FourSurfels();
    noPositions.vecPositions.clear();
    EXPECT_EQ(MessageOf(noPositions), L"Element Normal has 4 entries, but the positions are missing.");

    SSurfelData onlyOrder;
    onlyOrder.vecSampleOrder = {0};
    EXPECT_EQ(MessageOf(onlyOrder), L"Element SampleOrder has 1 entries, but the positions are missing.");

    SSurfelData shortOrder = FourSurfels();
    shortOrder.vecSampleOrder = {0, 1, 2};
    EXPECT_EQ(MessageOf(shortOrder), L"Element SampleOrder has 3 entries, but there are 4 positions.");

    SSurfelData outOfRange = FourSurfels();
    outOfRange.vecSampleOrder = {0, 1, 4, 2};
    EXPECT_EQ(MessageOf(outOfRange), L"The sample order lists surfel 4, but there are only 4 surfels.");

    SSurfelData repeated = FourSurfels();
    repeated.vecSampleOrder = {3, 1, 3, 2};
    EXPECT_EQ(MessageOf(repeated), L"The sample order lists surfel 3 more than once.");

    SSurfelData nan = FourSurfels();
    nan.vecPositions[2].y = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(MessageOf(nan), L"Position 2 is not finite (0, nan, 0).");
    SSurfelData inf = FourSurfels();
    inf.vecPositions[0].z = -std::numeric_limits<float>::infinity();
    EXPECT_EQ(MessageOf(inf), L"Position 0 is not finite (0, 0, -inf).");
}

TEST(SurfelCollection, DerivedDataIsBuiltOnceAndOutlivesTheCollection)
{
    auto c = std::make_unique<CSurfelCollection>(FourSurfels());
    const auto derived = c->GetDerivedData();
    EXPECT_EQ(c->GetDerivedData().get(), derived.get());

    const Geometry::CBox3D& box = derived->GetBoundingBox().box;
    EXPECT_EQ(box.vMin, CbVector3f(0, 0, 0));
    EXPECT_EQ(box.vMax, CbVector3f(2, 3, 4));

    const std::vector<uint32_t> order = derived->GetSampleOrder();
    c.reset();
    EXPECT_EQ(derived->GetKdTree().FindNearest(CbVector3f(1.9f, 0.1f, 0), 1.0f, 0), 1u);
    EXPECT_EQ(derived->GetSampleOrder(), order);

    SSurfelData given = FourSurfels();
    given.vecSampleOrder = {2, 0, 3, 1};
    const CSurfelCollection g(std::move(given));
    EXPECT_EQ(g.GetDerivedData()->GetSampleOrder(), (std::vector<uint32_t>{2, 0, 3, 1}));
}

namespace
{
void ExpectEnd(const CCovarianceEllipsoid& e, int k, const CbVector3d& axis, double sigma)
{
    const CbVector3d d = e.GetAxisEnd(k) - e.GetCentre();
    EXPECT_NEAR(d.Length(), sigma, 1e-6) << "axis " << k;
    if (sigma > 0.0)
    {
        EXPECT_NEAR(std::fabs(d.Dot(axis)) / sigma, 1.0, 1e-6) << "axis " << k;
    }
}
} // namespace

TEST(SurfelCollection, CovarianceEllipsoidSpansOneStandardDeviation)
{
    SSurfelData d;
    d.vecPositions = {{0, 0, 0}, {4, 0, 0}, {0, 0, 1}, {4, 0, 1}, {2, 1, 0}};
    const CSurfelCollection c(std::move(d));
    const CCovarianceEllipsoid& e = c.GetDerivedData()->GetCovarianceEllipsoid();
    EXPECT_NEAR(e.GetCentre().x, 2.0, 1e-12);
    EXPECT_NEAR(e.GetCentre().y, 0.2, 1e-12);
    EXPECT_NEAR(e.GetCentre().z, 0.4, 1e-12);
    EXPECT_EQ(e.GetSigmaScale(), 1.0f);
    ExpectEnd(e, 0, CbVector3d(1, 0, 0), std::sqrt(3.2));
    ExpectEnd(e, 1, CbVector3d(0, 0.5257311121191336, -0.85065080835204), std::sqrt(0.2 + std::sqrt(0.008)));
    ExpectEnd(e, 2, CbVector3d(0, 0.85065080835204, 0.5257311121191336), std::sqrt(0.2 - std::sqrt(0.008)));
    for (int i = 0; i < 3; ++i)
    {
        const CbVector3f end = e[2 * i];
        const CbVector3f mirror = e[2 * i + 1];
        EXPECT_NEAR((end.x + mirror.x) * 0.5f, 2.0f, 1e-6f);
        EXPECT_NEAR((end.y + mirror.y) * 0.5f, 0.2f, 1e-6f);
        EXPECT_NEAR((end.z + mirror.z) * 0.5f, 0.4f, 1e-6f);
    }

    // A rotated, shifted box of points: the axes follow the rotation, the centre the shift.
    const double a = 0.6;
    const CbVector3d ex(std::cos(a), std::sin(a), 0), ey(-std::sin(a), std::cos(a), 0), ez(0, 0, 1);
    const CbVector3d shift(100, -50, 7);
    SSurfelData box;
    for (int i = -2; i <= 2; ++i)
        for (int j = -2; j <= 2; ++j)
            for (int k = -1; k <= 1; k += 2)
                box.vecPositions.push_back(CbVector3f(shift + ex * (3.0 * i) + ey * (1.0 * j) + ez * (0.25 * k)));
    const CSurfelCollection b(std::move(box));
    const CCovarianceEllipsoid& eb = b.GetDerivedData()->GetCovarianceEllipsoid();
    EXPECT_NEAR((eb.GetCentre() - shift).Length(), 0.0, 1e-5);
    // The variance of {-2..2} is 2.
    ExpectEnd(eb, 0, ex, 3.0 * std::sqrt(2.0));
    ExpectEnd(eb, 1, ey, std::sqrt(2.0));
    ExpectEnd(eb, 2, ez, 0.25);

    // One point: every end is the point itself.
    SSurfelData one;
    one.vecPositions = {{1, 2, 3}};
    const CSurfelCollection o(std::move(one));
    const CCovarianceEllipsoid& eo = o.GetDerivedData()->GetCovarianceEllipsoid();
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(eo[i], CbVector3f(1, 2, 3));
}

namespace
{
// A wavy sheet of n points over the unit square; `clustered` puts 90 % of them into a corner of
// one hundredth of the area.
std::vector<CbVector3f> Sheet(size_t n, bool clustered, uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<CbVector3f> points(n);
    for (size_t i = 0; i < n; ++i)
    {
        float x = unit(random);
        float y = unit(random);
        if (clustered && i % 10 != 0)
        {
            x *= 0.1f;
            y *= 0.1f;
        }
        points[i] = CbVector3f(x, y, 0.05f * std::sin(6.0f * x) * std::cos(5.0f * y));
    }
    return points;
}

// How many cells of a g x g grid over the unit square the first `count` samples hit.
size_t CellsHit(const std::vector<CbVector3f>& points, const std::vector<uint32_t>& order, size_t count, int g)
{
    std::set<int> cells;
    for (size_t s = 0; s < count; ++s)
    {
        const CbVector3f& p = points[order[s]];
        const int cx = std::min(g - 1, static_cast<int>(p.x * g));
        const int cy = std::min(g - 1, static_cast<int>(p.y * g));
        cells.insert(cy * g + cx);
    }
    return cells.size();
}
} // namespace

TEST(SurfelCollection, DrawnSampleOrderIsADeterministicPermutationThatSpreads)
{
    const std::vector<CbVector3f> uniform = Sheet(40000, false, 11);
    SSurfelData d;
    d.vecPositions = uniform;
    const CSurfelCollection a(d);
    const CSurfelCollection b(d);
    const std::vector<uint32_t>& order = a.GetDerivedData()->GetSampleOrder();
    EXPECT_EQ(order, b.GetDerivedData()->GetSampleOrder());
    ASSERT_EQ(order.size(), uniform.size());
    std::vector<uint32_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (uint32_t i = 0; i < sorted.size(); ++i)
        ASSERT_EQ(sorted[i], i);

    // The first 1 % hits every cell of an 8 x 8 grid and nearly every cell of a 16 x 16 one
    // (400 draws at random would leave about 50 of those 256 cells empty).
    EXPECT_EQ(CellsHit(uniform, order, 400, 8), 64u);
    EXPECT_GE(CellsHit(uniform, order, 400, 16), 250u);

    // Density does not pull the early samples: with 90 % of the points in one corner, the first
    // 1 % still cover the whole sheet.
    const std::vector<CbVector3f> clustered = Sheet(40000, true, 12);
    SSurfelData c;
    c.vecPositions = clustered;
    const CSurfelCollection cc(std::move(c));
    const std::vector<uint32_t>& corder = cc.GetDerivedData()->GetSampleOrder();
    EXPECT_EQ(CellsHit(clustered, corder, 400, 8), 64u);
    EXPECT_GE(CellsHit(clustered, corder, 400, 16), 250u);

    // Identical positions still give a permutation.
    SSurfelData same;
    same.vecPositions.assign(100, CbVector3f(1, 1, 1));
    const CSurfelCollection s(std::move(same));
    std::vector<uint32_t> so = s.GetDerivedData()->GetSampleOrder();
    std::sort(so.begin(), so.end());
    for (uint32_t i = 0; i < so.size(); ++i)
        ASSERT_EQ(so[i], i);
}

TEST(SurfelCollectionMask, WordsStartClearAndAreWritable)
{
    CSurfelCollectionMask mask(5);
    EXPECT_EQ(mask.GetCount(), 5u);
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(mask[i], 0);
    mask[3] = 0x8001;
    const CSurfelCollectionMask& view = mask;
    EXPECT_EQ(view[3], 0x8001);
    EXPECT_EQ(view[2], 0);
    static_assert(sizeof(CSurfelBitMask) == 2, "mask words are 16 bits");
}
