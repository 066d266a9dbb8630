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
class PrincipalComponentAnalysis : public ::testing::Test
{
};
using Instances = ::testing::Types<CbVector3d, CbVector3f>;
TYPED_TEST_SUITE(PrincipalComponentAnalysis, Instances);
} // namespace

TYPED_TEST(PrincipalComponentAnalysis, EmptyObjectAndIndexChecks)
{
    TestablePCA<TypeParam> pca;
    pca.ComputePCA();
    EXPECT_TRUE(!pca.IsComputed() && pca.GetQualitySum() == 0 && pca.GetEigenValue(2) == 0);
    EXPECT_FALSE(std::isfinite(pca.GetCenterOfGravity().x));
    std::wstring message;
    try
    {
        pca.GetEigenValue(3);
    }
    catch (const VelmException& e)
    {
        message = e.GetMessageText().GetString();
    }
    EXPECT_EQ(message, L"Index 3 exceeds the 3 principal components.");
    EXPECT_THROW(pca.GetEigenVector(0xFFFFFFFFu), VelmException);
    // The weight sum comes in float precision from the double instance too.
    pca.Add(TypeParam(1, 2, 3), 0.1);
    EXPECT_EQ(pca.GetQualitySum(), static_cast<decltype(pca.GetQualitySum())>(0.1f));
}

TYPED_TEST(PrincipalComponentAnalysis, LineAndRotatedCloud)
{
    using T = TypeParam;
    // A line along x at y = 1, z = -2: x in {-2, 0.5, 1, 3.5, 7} has mean 2 and variance 46.5 / 5.
    TestablePCA<T> line;
    for (double x : {-2.0, 0.5, 1.0, 3.5, 7.0})
        line.Add(T(CbVector3d(x, 1, -2)));
    line.ComputePCA();
    EXPECT_TRUE(line.IsComputed() && line.GetCenterOfGravity() == T(CbVector3d(2, 1, -2)));
    EXPECT_NEAR(line.GetEigenValue(0), 46.5 / 5, 1e-5);
    EXPECT_NEAR(std::fabs(line.GetEigenVector(0).x), 1.0, 1e-6);
    EXPECT_TRUE(std::fabs(line.GetEigenValue(1)) < 1e-5 && std::fabs(line.GetEigenValue(2)) < 1e-5);

    // centre +- 1w, +- 2v, +- 3u, smallest spread first: eigenvalues 3, 4/3, 1/3 along u, v, w.
    const CbVector3d u = CbVector3d(1, 2, 2) * (1.0 / 3), v = CbVector3d(2, 1, -2) * (1.0 / 3),
                     w = CbVector3d(2, -2, 1) * (1.0 / 3), centre(10, -20, 5);
    TestablePCA<T> cloud;
    for (const CbVector3d& d : {w, -w, v * 2.0, v * -2.0, u * 3.0, u * -3.0})
        cloud.Add(T(centre + d));
    cloud.ComputePCA();
    const double expected[3] = {3.0, 4.0 / 3, 1.0 / 3};
    const CbVector3d axes[3] = {u, v, w};
    // The double instance hands out float precision.
    const auto isFloat = [](auto x) { return static_cast<decltype(x)>(static_cast<float>(x)) == x; };
    for (unsigned k = 0; k < 3; ++k)
    {
        EXPECT_NEAR(cloud.GetEigenValue(k), expected[k], 1e-4) << k;
        const T& e = cloud.GetEigenVector(k);
        EXPECT_NEAR(std::fabs(CbVector3d(e).Dot(axes[k])), 1.0, 1e-5) << k;
        EXPECT_TRUE(isFloat(cloud.GetEigenValue(k)) && isFloat(e.x) && isFloat(e.y) && isFloat(e.z)) << k;
    }
}

TYPED_TEST(PrincipalComponentAnalysis, WeightsAgainstRepeatedPointsAndMomentsRewrittenInPlace)
{
    using T = TypeParam;
    using S = decltype(T::x);
    // Dyadic coordinates keep every sum exact, so weights must agree bit for bit with repetition.
    const T p[4] = {T(1, 2, 0.5), T(-3, 0.25, 4), T(2, -1, -1.5), T(0.5, 0.5, 2)};
    TestablePCA<T> weighted, repeated;
    weighted.Add(p[0]);
    for (int i : {1, 2, 3})
        weighted.Add(p[i], S(i));
    for (int i : {0, 1, 2, 2, 3, 3, 3})
        repeated.Add(p[i]);
    weighted.ComputePCA();
    repeated.ComputePCA();
    EXPECT_TRUE(weighted.GetQualitySum() == 7 && weighted.GetCenterOfGravity() == repeated.GetCenterOfGravity());
    for (unsigned k = 0; k < 3; ++k)
        EXPECT_TRUE(weighted.GetEigenValue(k) == repeated.GetEigenValue(k) &&
                    weighted.GetEigenVector(k) == repeated.GetEigenVector(k))
            << k;

    // ComputePCA turns the moments (x: 1 + 9 + 2 * 4 + 3 * 0.25) into means in place, again on each call.
    const S seventh = S(1) / S(7);
    EXPECT_EQ(repeated.MeanXX(), S(18.75) * seventh);
    const T centre = repeated.GetCenterOfGravity();
    repeated.ComputePCA();
    EXPECT_TRUE(repeated.MeanXX() == S(18.75) * seventh * seventh && repeated.GetCenterOfGravity() == centre);
    repeated.Add(p[0]);
    EXPECT_FALSE(repeated.IsComputed());
}
