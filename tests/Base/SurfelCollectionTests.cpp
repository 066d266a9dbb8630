#include "velm/Base/Interfaces/CSurfelCollectionMask.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
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

bool IsPermutation(std::vector<uint32_t> order)
{
    std::sort(order.begin(), order.end());
    for (uint32_t i = 0; i < order.size(); ++i)
        if (order[i] != i)
            return false;
    return true;
}
} // namespace

TEST(SurfelCollection, ElementsAndDerivedDataOfACollection)
{
    static_assert(!std::is_copy_constructible<CSurfelCollection>::value, "");
    static_assert(!std::is_move_constructible<CSurfelCollection>::value, "");
    auto c = std::make_unique<CSurfelCollection>(FourSurfels());
    ASSERT_EQ(c->GetCount(), 4u);
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionPosition>()[3], CbVector3f(1, 1, 4));
    const uint16_t codes[4] = {0, 126, 255, 0x80FF}; // encoded from the directions
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionNormal>()[i].uiCode, codes[i]);
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionQuality>()[1], 128);
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionWeight>()[2], 2.5f);
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionCurvature>()[3], 4);
    EXPECT_EQ(c->GetReadAccessor<CSCElementDefinitionBoundaryFlag>()[1], 1);
    EXPECT_EQ(c->FindElementAccess(typeid(int)), nullptr);

    // Derived data is built once and outlives the collection.
    const auto derived = c->GetDerivedData();
    EXPECT_EQ(c->GetDerivedData().get(), derived.get());
    EXPECT_EQ(derived->GetBoundingBox().box.vMin, CbVector3f(0, 0, 0));
    EXPECT_EQ(derived->GetBoundingBox().box.vMax, CbVector3f(2, 3, 4));
    const std::vector<uint32_t> order = derived->GetSampleOrder();
    c.reset();
    EXPECT_EQ(derived->GetKdTree().FindNearest(CbVector3f(1.9f, 0.1f, 0), 1.0f, 0), 1u);
    EXPECT_EQ(derived->GetSampleOrder(), order);

    SSurfelData raw = FourSurfels(); // raw codes win over directions; a given sample order is kept
    raw.vecNormalCodes = {7, 8, 9, 0x2000};
    raw.vecSampleOrder = {2, 0, 3, 1};
    const CSurfelCollection r(std::move(raw));
    EXPECT_EQ(r.GetReadAccessor<CSCElementDefinitionNormal>()[0].uiCode, 7);
    EXPECT_EQ(r.GetReadAccessor<CSCElementDefinitionNormal>()[3].uiCode, 0x2000);
    EXPECT_EQ(r.GetDerivedData()->GetSampleOrder(), (std::vector<uint32_t>{2, 0, 3, 1}));
}

TEST(SurfelCollection, AbsentElementsAreNullAndTheReadAccessorThrows)
{
    SSurfelData d;
    d.vecPositions = {{1, 2, 3}, {4, 5, 6}};
    d.vecWeight = {1.0f, 2.0f};
    const CSurfelCollection c(std::move(d));
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
}

TEST(SurfelCollection, InvalidDataIsRejectedWithAClearMessage)
{
    using Change = std::function<void(SSurfelData&)>;
    const std::pair<Change, const wchar_t*> cases[] = {
        {[](auto& d) { d.vecWeight.pop_back(); }, L"Element Weight has 3 entries, but there are 4 positions."},
        {[](auto& d) { d.vecNormalCodes.assign(5, 0); },
         L"Element NormalCode has 5 entries, but there are 4 positions."},
        {[](auto& d) { d.vecPositions.clear(); }, L"Element Normal has 4 entries, but the positions are missing."},
        {[](auto& d) { d = SSurfelData(); d.vecSampleOrder = {0}; },
         L"Element SampleOrder has 1 entries, but the positions are missing."},
        {[](auto& d) { d.vecSampleOrder = {0, 1, 2}; },
         L"Element SampleOrder has 3 entries, but there are 4 positions."},
        {[](auto& d) { d.vecSampleOrder = {0, 1, 4, 2}; },
         L"The sample order lists surfel 4, but there are only 4 surfels."},
        {[](auto& d) { d.vecSampleOrder = {3, 1, 3, 2}; }, L"The sample order lists surfel 3 more than once."},
        {[](auto& d) { d.vecPositions[2].y = std::numeric_limits<float>::quiet_NaN(); },
         L"Position 2 is not finite (0, nan, 0)."},
        {[](auto& d) { d.vecPositions[0].z = -std::numeric_limits<float>::infinity(); },
         L"Position 0 is not finite (0, 0, -inf)."}};
    for (const auto& c : cases)
    {
        SSurfelData data = FourSurfels();
        c.first(data);
        try
        {
            CSurfelCollection collection(std::move(data));
            ADD_FAILURE() << "no exception, expected " << c.second;
        }
        catch (const VelmException& e)
        {
            EXPECT_STREQ(e.GetWideMessage().GetString(), c.second);
            EXPECT_STREQ(e.GetFilename(), "velm/Base/SurfelData/CSurfelCollection.cpp");
        }
    }
}

TEST(SurfelCollection, CovarianceEllipsoidSpansOneStandardDeviation)
{
    SSurfelData d;
    d.vecPositions = {{0, 0, 0}, {4, 0, 0}, {0, 0, 1}, {4, 0, 1}, {2, 1, 0}};
    const CSurfelCollection c(std::move(d));
    const CCovarianceEllipsoid& e = c.GetDerivedData()->GetCovarianceEllipsoid();
    const CbVector3d centre(2.0, 0.2, 0.4);
    EXPECT_NEAR((e.GetCentre() - centre).Length(), 0.0, 1e-12);
    EXPECT_EQ(e.GetSigmaScale(), 1.0f);
    // Largest spread first; the axes' signs are free.
    const CbVector3d axes[3] = {{1, 0, 0}, {0, 0.5257311121191336, -0.85065080835204},
                                {0, 0.85065080835204, 0.5257311121191336}};
    const double sigmas[3] = {std::sqrt(3.2), std::sqrt(0.2 + std::sqrt(0.008)), std::sqrt(0.2 - std::sqrt(0.008))};
    for (int k = 0; k < 3; ++k)
    {
        const CbVector3d end = e.GetAxisEnd(k) - centre;
        EXPECT_NEAR(end.Length(), sigmas[k], 1e-6) << "axis " << k;
        EXPECT_NEAR(std::fabs(end.Dot(axes[k])), sigmas[k], 1e-6) << "axis " << k;
        // Points 2k and 2k + 1 are the end and its mirror through the centre.
        EXPECT_NEAR((CbVector3d(e[2 * k]) + CbVector3d(e[2 * k + 1]) - centre * 2.0).Length(), 0.0, 1e-6);
    }

    SSurfelData one;
    one.vecPositions = {{1, 2, 3}};
    const CSurfelCollection o(std::move(one));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(o.GetDerivedData()->GetCovarianceEllipsoid()[i], CbVector3f(1, 2, 3));
}

TEST(SurfelCollection, DrawnSampleOrderIsADeterministicPermutationThatSpreads)
{
    // A wavy sheet over the unit square, evenly spread or with 90 % of the points in one corner of a
    // hundredth of the area: either way the first 1 % of the order hits every cell of an 8 x 8 grid and
    // nearly every cell of a 16 x 16 one (400 random draws would leave about 50 of those 256 empty).
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
        const CSurfelCollection a(d);
        const std::vector<uint32_t>& order = a.GetDerivedData()->GetSampleOrder();
        EXPECT_EQ(order, CSurfelCollection(d).GetDerivedData()->GetSampleOrder());
        ASSERT_EQ(order.size(), d.vecPositions.size());
        EXPECT_TRUE(IsPermutation(order));
        for (int g : {8, 16})
        {
            std::set<int> cells;
            for (size_t s = 0; s < 400; ++s)
            {
                const CbVector3f& p = d.vecPositions[order[s]];
                const int x = std::min(g - 1, static_cast<int>(p.x * g));
                cells.insert(std::min(g - 1, static_cast<int>(p.y * g)) * g + x);
            }
            EXPECT_GE(cells.size(), g == 8 ? 64u : 250u) << "grid " << g << (clustered ? ", clustered" : "");
        }
    }

    SSurfelData same; // identical positions still give a permutation
    same.vecPositions.assign(100, CbVector3f(1, 1, 1));
    EXPECT_TRUE(IsPermutation(CSurfelCollection(std::move(same)).GetDerivedData()->GetSampleOrder()));
}

TEST(SurfelCollectionMask, WordsStartClearAndAreWritable)
{
    static_assert(sizeof(CSurfelBitMask) == 2, "mask words are 16 bits");
    CSurfelCollectionMask mask(5);
    mask[3] = 0x8001;
    const CSurfelCollectionMask& view = mask;
    EXPECT_EQ(view.GetCount(), 5u);
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(view[i], i == 3 ? 0x8001 : 0);
}
