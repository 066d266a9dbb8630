#include "velm/Base/Interfaces/CSurfelCollectionMask.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>

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

// The VelmException that f throws.
template <typename F>
VelmException Thrown(F&& f)
{
    try
    {
        f();
    }
    catch (const VelmException& e)
    {
        return e;
    }
    throw std::logic_error("no VelmException");
}

bool IsPermutation(const std::vector<uint32_t>& order) // of 0 .. size - 1
{
    const std::set<uint32_t> distinct(order.begin(), order.end());
    return distinct.size() == order.size() && (order.empty() || *distinct.rbegin() == order.size() - 1);
}
} // namespace

TEST(SurfelCollection, ElementsAndDerivedDataOfACollection)
{
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
    raw.vecQuality.clear();
    raw.vecCurvature.clear();
    raw.vecBoundaryFlags.clear();
    const CSurfelCollection r(std::move(raw));
    EXPECT_EQ(r.GetReadAccessor<CSCElementDefinitionNormal>()[0].uiCode, 7);
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

    static_assert(sizeof(CSurfelBitMask) == 2, "mask words are 16 bits");
    const CSurfelCollectionMask mask(5); // one word per surfel, all clear
    ASSERT_EQ(mask.GetCount(), 5u);
    EXPECT_EQ(mask[0] | mask[1] | mask[2] | mask[3] | mask[4], 0);
}

TEST(SurfelCollection, InvalidDataIsRejectedWithAClearMessage)
{
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
    EXPECT_EQ(empty.GetCount(), 0u);
    EXPECT_EQ(empty.FindElementAccess(typeid(CSCElementDefinitionPosition)), nullptr);
    const auto derived = empty.GetDerivedData();
    EXPECT_TRUE(derived->GetSampleOrder().empty());
    EXPECT_FALSE(derived->GetBoundingBox().box.IsValid());
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
        {
            const CbVector3f& p = d.vecPositions[order[s]];
            cells.insert(std::min(15, static_cast<int>(p.y * 16)) * 16 + std::min(15, static_cast<int>(p.x * 16)));
        }
        EXPECT_GE(cells.size(), 250u) << (clustered ? "clustered" : "even");
    }
    SSurfelData same; // identical positions still give a permutation
    same.vecPositions.assign(100, CbVector3f(1, 1, 1));
    EXPECT_TRUE(IsPermutation(CSurfelCollection(std::move(same)).GetDerivedData()->GetSampleOrder()));
}
