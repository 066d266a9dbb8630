#include "DataLayer/EngineRigs.h"

#include "velm/DataLayer/Algorithms/Math/CCompactRadialBasisFunctions.h"
#include "velm/DataLayer/Algorithms/Math/CEuler2Matrix.h"

#include <cstring>

using R = DataLayer::CCompactRadialBasisFunctions;
using M3 = Eigen::Matrix<double, 3, 3, Eigen::RowMajor>;

namespace
{
M3 Euler(double a, double b, double c)
{
    M3 m;
    DataLayer::CEuler2Matrix().Euler2Matrix(a, b, c, m.data());
    return m;
}
} // namespace

TEST(Euler2Matrix, ComposesZYXAndIsARotation)
{
    EXPECT_EQ(Euler(0.0, 0.0, 0.0), M3::Identity());
    EXPECT_LE((Euler(0.0, 0.0, M_PI / 2) - (M3() << 0, -1, 0, 1, 0, 0, 0, 0, 1).finished()).cwiseAbs().maxCoeff(),
              1e-15);

    // R = Rz(c) * Ry(b) * Rx(a), built from the three single-axis matrices independently.
    const double a = 0.3, b = -1.1, c = 2.5, angles[3] = {a, b, c};
    const M3 rx = Euler(a, 0.0, 0.0), ry = Euler(0.0, b, 0.0);
    EXPECT_TRUE(std::fabs(rx(1, 2) + std::sin(a)) <= 1e-15 && std::fabs(ry(0, 2) - std::sin(b)) <= 1e-15);
    M3 m;
    DataLayer::CEuler2Matrix().Euler2Matrix(angles, m.data());
    EXPECT_LE((m - Euler(0.0, 0.0, c) * ry * rx).cwiseAbs().maxCoeff(), 1e-14);
    EXPECT_LE((m * m.transpose() - M3::Identity()).cwiseAbs().maxCoeff(), 1e-14) << "orthonormal";
}

TEST(CompactRadialBasisFunctions, SettersKeepRadiusAndSquareConsistentAndConstantsAreAsExported)
{
    // The default radius is unset, not indeterminate; the other constructors make the constants below.
    R rbf;
    EXPECT_THROW(rbf.Radius(), VelmException);
    EXPECT_TRUE(rbf.RadiusSqr() == 0.0f && rbf.ScaleFactor() == 0.0f);
    rbf.Radius(2.0f).ScaleFactor(3.0f);
    EXPECT_TRUE(rbf.Radius() == 2.0f && rbf.RadiusSqr() == 4.0f && rbf.ScaleFactorSqr() == 9.0f);
    // Setting the square unsets the radius rather than taking a root.
    EXPECT_EQ(EngineTest::MessageOf([&] { rbf.RadiusSqr(9.0f).Radius(); }, true),
              L"velm/DataLayer/Algorithms/Math/CCompactRadialBasisFunctions.cpp:51 "
              L"DataLayer::CCompactRadialBasisFunctions::Radius: Radius is NaN, so it is not set.");
    EXPECT_EQ(rbf.RadiusSqr(), 9.0f);

    EXPECT_TRUE(R::c_RadiusFactor2x2x2.Radius() == 1.732f && R::c_RadiusFactor3x3x3.Radius() == 1.732f);
    EXPECT_THROW(R::c_RadiusFactor2x2x2Sqr.Radius(), VelmException);
    EXPECT_THROW(R::c_RadiusFactor3x3x3Sqr.Radius(), VelmException);
    for (const R* r :
         {&R::c_RadiusFactor2x2x2, &R::c_RadiusFactor2x2x2Sqr, &R::c_RadiusFactor3x3x3, &R::c_RadiusFactor3x3x3Sqr})
        EXPECT_EQ(r->RadiusSqr(), 3.0f);
    EXPECT_TRUE(R::c_RadiusFactor2x2x2.ScaleFactorSqr() == 1.0f && R::c_RadiusFactor2x2x2Sqr.ScaleFactor() == 1.0f);
    EXPECT_TRUE(R::c_RadiusFactor3x3x3.ScaleFactorSqr() == 2.25f &&
                R::c_RadiusFactor3x3x3Sqr.ScaleFactorSqr() == 2.25f);

    // The unset radius is the quiet NaN 0x7FC00000.
    struct Probe : R
    {
        static const float& Radius(const R& r) { return r.*(&Probe::fRadius); }
    };
    uint32_t bits;
    std::memcpy(&bits, &Probe::Radius(R::c_RadiusFactor3x3x3Sqr), sizeof bits);
    EXPECT_EQ(bits, 0x7FC00000u);
}
