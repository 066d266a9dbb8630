#include "velm/DataLayer/Algorithms/Math/CPrincipalComponentAnalysis3D.h"
#include "velm/Frame/VelmException.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace
{
template <typename T>
class TestablePCA : public DataLayer::CPrincipalComponentAnalysis3D<T>
{
public:
    bool IsComputed() const { return this->bComputed; }
    auto MeanXX() const { return this->sSumXX; }
};

template <typename T>
void ExpectSameResults(const TestablePCA<T>& a, const TestablePCA<T>& b)
{
    for (unsigned k = 0; k < 3; ++k)
    {
        EXPECT_EQ(a.GetEigenValue(k), b.GetEigenValue(k)) << k;
        EXPECT_EQ(a.GetEigenVector(k), b.GetEigenVector(k)) << k;
    }
}

template <typename T>
class PrincipalComponentAnalysis : public ::testing::Test
{
};
using Instances = ::testing::Types<CbVector3d, CbVector3f>;
TYPED_TEST_SUITE(PrincipalComponentAnalysis, Instances);
} // namespace

TYPED_TEST(PrincipalComponentAnalysis, EmptyObjectAndIndexChecks)
{
    using T = TypeParam;
    TestablePCA<T> pca;
    pca.ComputePCA();
    EXPECT_FALSE(pca.IsComputed());
    EXPECT_EQ(pca.GetQualitySum(), 0);
    EXPECT_EQ(pca.GetEigenValue(2), 0);
    EXPECT_FALSE(std::isfinite(pca.GetCenterOfGravity().x));
    try
    {
        pca.GetEigenValue(3);
        FAIL() << "index 3 must throw";
    }
    catch (const VelmException& e)
    {
        EXPECT_STREQ(e.GetMessageText().GetString(), L"Index 3 exceeds the 3 principal components.");
        EXPECT_STREQ(e.GetFilename(), "velm/DataLayer/Algorithms/Math/CPrincipalComponentAnalysis3D.cpp");
        const std::string instance = std::is_same<T, CbVector3d>::value ? "CbVector3d" : "CbVector3f";
        EXPECT_EQ(std::string(e.GetFunctionName()),
                  "DataLayer::CPrincipalComponentAnalysis3D<class " + instance + ">::GetEigenValue");
    }
    EXPECT_THROW(pca.GetEigenVector(0xFFFFFFFFu), VelmException);
}

TYPED_TEST(PrincipalComponentAnalysis, LineAndRotatedCloud)
{
    using T = TypeParam;
    // A line along x at y = 1, z = -2: x in {-2, 0.5, 1, 3.5, 7} has mean 2 and variance 46.5 / 5.
    TestablePCA<T> line;
    for (double x : {-2.0, 0.5, 1.0, 3.5, 7.0})
        line.Add(T(CbVector3d(x, 1, -2)));
    line.ComputePCA();
    EXPECT_TRUE(line.IsComputed());
    EXPECT_NEAR(line.GetEigenValue(0), 46.5 / 5, 1e-5);
    EXPECT_NEAR(std::fabs(line.GetEigenVector(0).x), 1.0, 1e-6);
    EXPECT_NEAR(line.GetEigenValue(1), 0.0, 1e-5);
    EXPECT_NEAR(line.GetEigenValue(2), 0.0, 1e-5);
    EXPECT_EQ(line.GetCenterOfGravity(), T(CbVector3d(2, 1, -2)));

    // centre +- 1w, +- 2v, +- 3u for an orthonormal, not axis-aligned (u, v, w): eigenvalues 3, 4/3,
    // 1/3 along u, v, w, although the points come smallest spread first.
    const CbVector3d u = CbVector3d(1, 2, 2) * (1.0 / 3), v = CbVector3d(2, 1, -2) * (1.0 / 3),
                     w = CbVector3d(2, -2, 1) * (1.0 / 3), centre(10, -20, 5);
    TestablePCA<T> cloud;
    for (const CbVector3d& d : {w, -w, v * 2.0, v * -2.0, u * 3.0, u * -3.0})
        cloud.Add(T(centre + d));
    cloud.ComputePCA();
    const double expected[3] = {3.0, 4.0 / 3, 1.0 / 3};
    const CbVector3d axes[3] = {u, v, w};
    for (unsigned k = 0; k < 3; ++k)
    {
        EXPECT_NEAR(cloud.GetEigenValue(k), expected[k], 1e-4) << k;
        EXPECT_NEAR(std::fabs(CbVector3d(cloud.GetEigenVector(k)).Dot(axes[k])), 1.0, 1e-5) << k;
    }
    EXPECT_NEAR(CbVector3d(cloud.GetCenterOfGravity()).y, -20.0, 1e-5);
}

TYPED_TEST(PrincipalComponentAnalysis, WeightsRepeatedComputesAndLaterPoints)
{
    using T = TypeParam;
    // Dyadic coordinates keep every sum exact, so weights must agree bit for bit with repetition.
    const T p[4] = {T(1, 2, 0.5), T(-3, 0.25, 4), T(2, -1, -1.5), T(0.5, 0.5, 2)};
    TestablePCA<T> weighted, repeated;
    weighted.Add(p[0]);
    weighted.Add(p[1], 2);
    weighted.Add(p[2], 1);
    weighted.Add(p[3], 3);
    for (int i : {0, 1, 1, 2, 3, 3, 3})
        repeated.Add(p[i]);
    weighted.ComputePCA();
    repeated.ComputePCA();
    EXPECT_EQ(weighted.GetQualitySum(), 7);
    ExpectSameResults(weighted, repeated);
    // z of the weighted centre: (0.5 + 2 * 4 - 1.5 + 3 * 2) / 7.
    EXPECT_EQ(weighted.GetCenterOfGravity(), repeated.GetCenterOfGravity());
    EXPECT_NEAR(weighted.GetCenterOfGravity().z, 13.0 / 7, 1e-6);

    // ComputePCA turns the second moments into means in place: a copy computed again divides them
    // a second time and so describes a different (shrunken) spread, while the centre stays.
    TestablePCA<T> again = repeated;
    EXPECT_TRUE(again.IsComputed()) << "copies keep the computed flag";
    using S = decltype(again.MeanXX());
    const S seventh = S(1) / S(7);
    // x: 1, -3, -3, 2, 0.5, 0.5, 0.5: the sum of squares is 23.75.
    EXPECT_EQ(again.MeanXX(), S(23.75) * seventh);
    again.ComputePCA();
    EXPECT_EQ(again.MeanXX(), S(23.75) * seventh * seventh);
    EXPECT_EQ(again.GetCenterOfGravity(), repeated.GetCenterOfGravity());
    EXPECT_NE(again.GetEigenValue(0), repeated.GetEigenValue(0));

    // Points added after a ComputePCA are summed onto the means, so only a single ComputePCA after
    // the last Add describes all points.
    TestablePCA<T> inBetween;
    for (int i : {0, 1, 1, 2})
        inBetween.Add(p[i]);
    inBetween.ComputePCA();
    for (int i : {3, 3, 3})
        inBetween.Add(p[i]);
    EXPECT_FALSE(inBetween.IsComputed());
    inBetween.ComputePCA();
    EXPECT_NE(inBetween.GetEigenValue(0), repeated.GetEigenValue(0));
}

TEST(PrincipalComponentAnalysisDouble, ResultsCarryFloatPrecision)
{
    // x = -1 and 1 with weight 1, 0 with weight 4: the variance along x is 1/3 to the last double bit.
    TestablePCA<CbVector3d> third;
    third.Add(CbVector3d(-1, 0, 0));
    third.Add(CbVector3d(1, 0, 0));
    third.Add(CbVector3d(0, 0, 0), 4.0);
    third.ComputePCA();
    EXPECT_EQ(third.GetEigenValue(0), static_cast<double>(static_cast<float>(1.0 / 3)));

    TestablePCA<CbVector3d> cloud;
    cloud.Add(CbVector3d(0.1, 0.7, -0.3), 0.3);
    cloud.Add(CbVector3d(1.3, -0.2, 0.9), 1.7);
    cloud.Add(CbVector3d(-0.6, 0.4, 0.35), 0.9);
    cloud.Add(CbVector3d(0.2, -1.1, 0.05));
    cloud.ComputePCA();
    const auto isFloat = [](double v) { return static_cast<double>(static_cast<float>(v)) == v; };
    for (unsigned k = 0; k < 3; ++k)
    {
        const CbVector3d& e = cloud.GetEigenVector(k);
        EXPECT_TRUE(isFloat(cloud.GetEigenValue(k)) && isFloat(e.x) && isFloat(e.y) && isFloat(e.z)) << k;
    }
    EXPECT_GT(cloud.GetEigenValue(0), cloud.GetEigenValue(1));
    EXPECT_GT(cloud.GetEigenValue(1), cloud.GetEigenValue(2));
    EXPECT_EQ(cloud.GetQualitySum(), static_cast<double>(3.9f));
}
