#include "DataLayer/EngineRigs.h"

#include "velm/DataLayer/Algorithms/Math/CPrincipalComponentAnalysis3D.h"

namespace
{
template <typename T>
struct TestablePCA : DataLayer::CPrincipalComponentAnalysis3D<T>
{
    using DataLayer::CPrincipalComponentAnalysis3D<T>::bComputed, DataLayer::CPrincipalComponentAnalysis3D<T>::sSumXX;
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
    EXPECT_TRUE(!pca.bComputed && pca.GetQualitySum() == 0 && pca.GetEigenValue(2) == 0);
    EXPECT_FALSE(std::isfinite(pca.GetCenterOfGravity().x));
    EXPECT_EQ(EngineTest::MessageOf([&] { pca.GetEigenValue(3); }), L"Index 3 exceeds the 3 principal components.");
    EXPECT_THROW(pca.GetEigenVector(0xFFFFFFFFu), VelmException);
    // The weight sum comes in float precision from the double instance too.
    pca.Add(TypeParam(1, 2, 3), 0.1);
    EXPECT_EQ(pca.GetQualitySum(), static_cast<decltype(pca.GetQualitySum())>(0.1f));
}

TYPED_TEST(PrincipalComponentAnalysis, CentreAxesAndWeightsAgainstRepeatedPointsAndMomentsRewrittenInPlace)
{
    using T = TypeParam;
    using S = decltype(T::x);
    // centre +- w, +- 2v, +- 3u with the orthogonal u, v, w of length 3, smallest spread first: integer points with
    // an exact centre, and the eigenvalues 27, 12, 3 along u, v, w.
    const CbVector3d u(1, 2, 2), v(2, 1, -2), w(2, -2, 1), centre(10, -20, 5);
    TestablePCA<T> cloud;
    for (const CbVector3d& d : {w, -w, v * 2.0, v * -2.0, u * 3.0, u * -3.0})
        cloud.Add(T(centre + d));
    cloud.ComputePCA();
    EXPECT_TRUE(cloud.bComputed && cloud.GetCenterOfGravity() == T(centre));
    const double expected[3] = {27.0, 12.0, 3.0};
    const CbVector3d axes[3] = {u * (1.0 / 3), v * (1.0 / 3), w * (1.0 / 3)};
    // The double instance hands out float precision.
    const auto isFloat = [](auto x) { return static_cast<decltype(x)>(static_cast<float>(x)) == x; };
    for (unsigned k = 0; k < 3; ++k)
    {
        EXPECT_NEAR(cloud.GetEigenValue(k), expected[k], 1e-4) << k;
        const T& e = cloud.GetEigenVector(k);
        EXPECT_NEAR(std::fabs(CbVector3d(e).Dot(axes[k])), 1.0, 1e-5) << k;
        EXPECT_TRUE(isFloat(cloud.GetEigenValue(k)) && isFloat(e.x) && isFloat(e.y) && isFloat(e.z)) << k;
    }

    // Dyadic coordinates keep every sum exact, so the weights 1, 1, 2, 3 must agree bit for bit with repetition.
    const T p[4] = {T(1, 2, 0.5), T(-3, 0.25, 4), T(2, -1, -1.5), T(0.5, 0.5, 2)};
    TestablePCA<T> weighted, repeated;
    for (int i : {0, 1, 2, 3})
        weighted.Add(p[i], S(i ? i : 1));
    for (int i : {0, 1, 2, 2, 3, 3, 3})
        repeated.Add(p[i]);
    weighted.ComputePCA(), repeated.ComputePCA();
    EXPECT_TRUE(weighted.GetQualitySum() == 7 && weighted.GetCenterOfGravity() == repeated.GetCenterOfGravity());
    for (unsigned k = 0; k < 3; ++k)
        EXPECT_TRUE(weighted.GetEigenValue(k) == repeated.GetEigenValue(k) &&
                    weighted.GetEigenVector(k) == repeated.GetEigenVector(k))
            << k;

    // ComputePCA turns the moments (x: 1 + 9 + 2 * 4 + 3 * 0.25) into means in place, again on each call.
    const S seventh = S(1) / S(7);
    EXPECT_EQ(repeated.sSumXX, S(18.75) * seventh);
    const T mean = repeated.GetCenterOfGravity();
    repeated.ComputePCA();
    EXPECT_TRUE(repeated.sSumXX == S(18.75) * seventh * seventh && repeated.GetCenterOfGravity() == mean);
    repeated.Add(p[0]);
    EXPECT_FALSE(repeated.bComputed);
}
