#include "velm/DataLayer/Algorithms/Math/CPrincipalComponentAnalysis3D.h"
#include "velm/Frame/VelmException.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace
{
template <typename T>
class TestablePCA : public DataLayer::CPrincipalComponentAnalysis3D<T>
{
public:
    bool IsComputed() const { return this->bComputed; }
};

template <typename T>
class PrincipalComponentAnalysis : public ::testing::Test
{
};
using Instances = ::testing::Types<CbVector3d, CbVector3f>;
TYPED_TEST_SUITE(PrincipalComponentAnalysis, Instances);

template <typename T>
void ExpectSameResults(const DataLayer::CPrincipalComponentAnalysis3D<T>& a,
                       const DataLayer::CPrincipalComponentAnalysis3D<T>& b)
{
    for (unsigned k = 0; k < 3; ++k)
    {
        EXPECT_EQ(a.GetEigenValue(k), b.GetEigenValue(k)) << k;
        EXPECT_EQ(a.GetEigenVector(k), b.GetEigenVector(k)) << k;
    }
}
} // namespace

TYPED_TEST(PrincipalComponentAnalysis, EmptyObjectAndIndexChecks)
{
    using T = TypeParam;
    TestablePCA<T> pca;
    pca.ComputePCA();
    EXPECT_FALSE(pca.IsComputed());
    EXPECT_EQ(pca.GetQualitySum(), 0);
    for (unsigned k = 0; k < 3; ++k)
    {
        EXPECT_EQ(pca.GetEigenValue(k), 0);
        EXPECT_EQ(pca.GetEigenVector(k), T());
    }
    const T centre = pca.GetCenterOfGravity();
    EXPECT_FALSE(std::isfinite(centre.x));
    EXPECT_FALSE(std::isfinite(centre.z));

    const std::string instance = std::is_same<T, CbVector3d>::value ? "CbVector3d" : "CbVector3f";
    try
    {
        pca.GetEigenValue(3);
        FAIL() << "index 3 must throw";
    }
    catch (const VelmException& e)
    {
        EXPECT_STREQ(e.GetMessageText().GetString(), L"Index 3 exceeds the 3 principal components.");
        EXPECT_STREQ(e.GetFilename(), "velm/DataLayer/Algorithms/Math/CPrincipalComponentAnalysis3D.cpp");
        EXPECT_EQ(std::string(e.GetFunctionName()),
                  "DataLayer::CPrincipalComponentAnalysis3D<class " + instance + ">::GetEigenValue");
    }
    EXPECT_THROW(pca.GetEigenVector(3), VelmException);
    EXPECT_THROW(pca.GetEigenVector(0xFFFFFFFFu), VelmException);
}

TYPED_TEST(PrincipalComponentAnalysis, PointsOnALine)
{
    using T = TypeParam;
    using S = typename DataLayer::CPrincipalComponentAnalysis3D<T>::ScalarType;
    TestablePCA<T> pca;
    const S xs[] = {-2, 0.5, 1, 3.5, 7};
    for (S x : xs)
        pca.Add(T(x, S(1), S(-2)));
    pca.ComputePCA();
    EXPECT_TRUE(pca.IsComputed());
    EXPECT_EQ(pca.GetQualitySum(), 5);

    // Population variance of the x values: mean 2, squared deviations 16, 2.25, 1, 2.25, 25.
    EXPECT_NEAR(pca.GetEigenValue(0), 46.5 / 5, 1e-5);
    EXPECT_NEAR(std::fabs(pca.GetEigenVector(0).x), 1.0, 1e-6);
    EXPECT_NEAR(pca.GetEigenValue(1), 0.0, 1e-5);
    EXPECT_NEAR(pca.GetEigenValue(2), 0.0, 1e-5);
    EXPECT_EQ(pca.GetCenterOfGravity(), T(2, 1, -2));
}

TYPED_TEST(PrincipalComponentAnalysis, RotatedAnisotropicCloud)
{
    using T = TypeParam;
    using S = typename DataLayer::CPrincipalComponentAnalysis3D<T>::ScalarType;
    // Points centre +- 3u, +- 2v, +- 1w for an orthonormal (u, v, w) that is not axis-aligned:
    // covariance eigenvalues 9/3, 4/3, 1/3 along u, v, w.
    const CbVector3d u = CbVector3d(1, 2, 2) * (1.0 / 3), v = CbVector3d(2, 1, -2) * (1.0 / 3),
                     w = CbVector3d(2, -2, 1) * (1.0 / 3), centre(10, -20, 5);
    TestablePCA<T> pca;
    // Listed with the smallest spread first, so the decomposition's order has to be undone.
    for (const CbVector3d& d : {w * 1.0, w * -1.0, v * 2.0, v * -2.0, u * 3.0, u * -3.0})
        pca.Add(T(centre + d));
    pca.ComputePCA();

    const double expected[3] = {3.0, 4.0 / 3, 1.0 / 3};
    const CbVector3d axes[3] = {u, v, w};
    for (unsigned k = 0; k < 3; ++k)
    {
        EXPECT_NEAR(pca.GetEigenValue(k), expected[k], 1e-4) << k;
        const CbVector3d e(pca.GetEigenVector(k));
        EXPECT_NEAR(std::fabs(e.Dot(axes[k])), 1.0, 1e-5) << k;
        EXPECT_NEAR(e.Length(), 1.0, 1e-6);
    }
    const T c = pca.GetCenterOfGravity();
    EXPECT_NEAR(c.x, S(10), 1e-5);
    EXPECT_NEAR(c.y, S(-20), 1e-5);
    EXPECT_NEAR(c.z, S(5), 1e-5);
}

TYPED_TEST(PrincipalComponentAnalysis, WeightsCountLikeRepeatedPoints)
{
    using T = TypeParam;
    // Dyadic coordinates keep every sum exact, so both ways must agree bit for bit.
    const T p1(1, 2, 0.5), p2(-3, 0.25, 4), p3(2, -1, -1.5), p4(0.5, 0.5, 2);
    TestablePCA<T> weighted, repeated;
    weighted.Add(p1);
    weighted.Add(p2, 2);
    weighted.Add(p3, 1);
    weighted.Add(p4, 3);
    repeated.Add(p1);
    repeated.Add(p2);
    repeated.Add(p2);
    repeated.Add(p3);
    for (int i = 0; i < 3; ++i)
        repeated.Add(p4);
    weighted.ComputePCA();
    repeated.ComputePCA();
    EXPECT_EQ(weighted.GetQualitySum(), 7);
    EXPECT_EQ(repeated.GetQualitySum(), 7);
    ExpectSameResults(weighted, repeated);
    EXPECT_EQ(weighted.GetCenterOfGravity(), repeated.GetCenterOfGravity());

    TestablePCA<T> single;
    single.Add(p2, 2);
    EXPECT_EQ(single.GetQualitySum(), 2);
    EXPECT_EQ(single.GetCenterOfGravity(), p2);

    // Weighted centre: ((1, 2, 3) + 3 (3, -2, 5)) / 4.
    TestablePCA<T> centre;
    centre.Add(T(1, 2, 3));
    centre.Add(T(3, -2, 5), 3);
    EXPECT_EQ(centre.GetCenterOfGravity(), T(2.5, -1, 4.5));
}

TYPED_TEST(PrincipalComponentAnalysis, RepeatedComputeAndLaterPointsUseAllPoints)
{
    using T = TypeParam;
    const T points[] = {T(1, 0, 0.5), T(-2, 1, 0), T(0.5, 3, -1), T(4, -1, 2), T(0, 0.25, 1)};

    TestablePCA<T> all;
    for (const T& p : points)
        all.Add(p);
    all.ComputePCA();

    // A second ComputePCA describes the same points again.
    TestablePCA<T> twice = all;
    EXPECT_TRUE(twice.IsComputed()) << "copies keep the computed flag";
    twice.ComputePCA();
    ExpectSameResults(all, twice);

    // Computing in between does not disturb the sums later points are added to.
    TestablePCA<T> inBetween;
    for (int i = 0; i < 3; ++i)
        inBetween.Add(points[i]);
    inBetween.ComputePCA();
    inBetween.Add(points[3]);
    EXPECT_FALSE(inBetween.IsComputed());
    inBetween.Add(points[4], 1);
    inBetween.ComputePCA();
    EXPECT_TRUE(inBetween.IsComputed());
    ExpectSameResults(all, inBetween);
    EXPECT_EQ(inBetween.GetQualitySum(), 5);
}

TEST(PrincipalComponentAnalysisDouble, ResultsCarryFloatPrecision)
{
    // x = -1 and 1 with weight 1, x = 0 with weight 4: the variance along x is exactly 1/3 in double.
    TestablePCA<CbVector3d> pca;
    pca.Add(CbVector3d(-1, 0, 0));
    pca.Add(CbVector3d(1, 0, 0));
    pca.Add(CbVector3d(0, 0, 0), 4.0);
    pca.ComputePCA();
    EXPECT_EQ(pca.GetEigenValue(0), static_cast<double>(static_cast<float>(1.0 / 3)));
    EXPECT_NE(pca.GetEigenValue(0), 1.0 / 3);

    // Any cloud: every stored value is a float widened back.
    TestablePCA<CbVector3d> cloud;
    cloud.Add(CbVector3d(0.1, 0.7, -0.3), 0.3);
    cloud.Add(CbVector3d(1.3, -0.2, 0.9), 1.7);
    cloud.Add(CbVector3d(-0.6, 0.4, 0.35), 0.9);
    cloud.Add(CbVector3d(0.2, -1.1, 0.05));
    cloud.ComputePCA();
    const auto isFloat = [](double v) { return static_cast<double>(static_cast<float>(v)) == v; };
    for (unsigned k = 0; k < 3; ++k)
    {
        EXPECT_TRUE(isFloat(cloud.GetEigenValue(k)));
        const CbVector3d& e = cloud.GetEigenVector(k);
        EXPECT_TRUE(isFloat(e.x) && isFloat(e.y) && isFloat(e.z));
    }
    EXPECT_GT(cloud.GetEigenValue(0), cloud.GetEigenValue(1));
    EXPECT_GT(cloud.GetEigenValue(1), cloud.GetEigenValue(2));
    // The weight sum 3.9 comes back in float precision too.
    EXPECT_EQ(cloud.GetQualitySum(), static_cast<double>(3.9f));
    EXPECT_NE(cloud.GetQualitySum(), 3.9);
}
