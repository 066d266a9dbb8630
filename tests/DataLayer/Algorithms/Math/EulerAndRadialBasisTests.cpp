#include "velm/DataLayer/Algorithms/Math/CCompactRadialBasisFunctions.h"
#include "velm/DataLayer/Algorithms/Math/CEuler2Matrix.h"
#include "velm/Frame/VelmException.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using DataLayer::CCompactRadialBasisFunctions;
using DataLayer::CEuler2Matrix;

namespace
{
void Multiply3(const double* a, const double* b, double* out)
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            out[3 * r + c] = a[3 * r] * b[c] + a[3 * r + 1] * b[3 + c] + a[3 * r + 2] * b[6 + c];
}
} // namespace

TEST(Euler2Matrix, ComposesZYXAndIsARotation)
{
    CEuler2Matrix euler;
    double m[9];
    euler.Euler2Matrix(0.0, 0.0, 0.0, m);
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(m[i], identity[i]);

    euler.Euler2Matrix(0.0, 0.0, M_PI / 2, m);
    const double rz[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(m[i], rz[i], 1e-15);

    // R = Rz(c) * Ry(b) * Rx(a), built from the three single-axis matrices independently.
    const double a = 0.3, b = -1.1, c = 2.5;
    double rx[9], ry[9], rzc[9], tmp[9], expected[9];
    euler.Euler2Matrix(a, 0.0, 0.0, rx);
    euler.Euler2Matrix(0.0, b, 0.0, ry);
    euler.Euler2Matrix(0.0, 0.0, c, rzc);
    EXPECT_NEAR(rx[5], -std::sin(a), 1e-15);
    EXPECT_NEAR(ry[2], std::sin(b), 1e-15);
    Multiply3(rzc, ry, tmp);
    Multiply3(tmp, rx, expected);
    const double angles[3] = {a, b, c};
    euler.Euler2Matrix(angles, m);
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(m[i], expected[i], 1e-14) << i;

    // Orthonormal with determinant +1.
    double mt[9], prod[9];
    for (int r = 0; r < 3; ++r)
        for (int col = 0; col < 3; ++col)
            mt[3 * col + r] = m[3 * r + col];
    Multiply3(m, mt, prod);
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(prod[i], identity[i], 1e-14);
    const double det =
        m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) + m[2] * (m[3] * m[7] - m[4] * m[6]);
    EXPECT_NEAR(det, 1.0, 1e-14);
}

TEST(CompactRadialBasisFunctions, RadiusAndItsSquareStayConsistentThroughTheSetters)
{
    CCompactRadialBasisFunctions rbf(9.0f, 2.0f);
    EXPECT_THROW(rbf.Radius(), VelmException);
    EXPECT_EQ(rbf.RadiusSqr(), 9.0f);

    rbf.Radius(2.0f).ScaleFactor(3.0f);
    EXPECT_EQ(rbf.Radius(), 2.0f);
    EXPECT_EQ(rbf.RadiusSqr(), 4.0f);
    EXPECT_EQ(rbf.ScaleFactorSqr(), 9.0f);

    rbf.RadiusSqr(9.0f);
    EXPECT_EQ(rbf.RadiusSqr(), 9.0f);
    try
    {
        rbf.Radius();
        FAIL() << "an unset radius must throw";
    }
    catch (const VelmException& e)
    {
        EXPECT_STREQ(e.GetMessageText().GetString(), L"Radius is NaN, so it is not set.");
        EXPECT_EQ(e.GetCodeLine(), 51u);
        EXPECT_STREQ(e.GetFunctionName(), "DataLayer::CCompactRadialBasisFunctions::Radius");
        EXPECT_STREQ(e.GetFilename(), "velm/DataLayer/Algorithms/Math/CCompactRadialBasisFunctions.cpp");
    }

    // Three arguments are stored as given, even when inconsistent.
    const CCompactRadialBasisFunctions odd(2.0f, 5.0f, 1.0f);
    EXPECT_EQ(odd.Radius(), 2.0f);
    EXPECT_EQ(odd.RadiusSqr(), 5.0f);

    // Radius(NaN) unsets it; copies carry the state.
    CCompactRadialBasisFunctions copy = rbf.Radius(std::nanf(""));
    EXPECT_THROW(copy.Radius(), VelmException);

    // The default object has an unset radius, not an indeterminate one.
    const CCompactRadialBasisFunctions fresh;
    EXPECT_THROW(fresh.Radius(), VelmException);
    EXPECT_EQ(fresh.RadiusSqr(), 0.0f);
    EXPECT_EQ(fresh.ScaleFactor(), 0.0f);
}

TEST(CompactRadialBasisFunctions, ExportedConstants)
{
    using R = CCompactRadialBasisFunctions;
    EXPECT_EQ(R::c_RadiusFactor2x2x2.Radius(), 1.732f);
    EXPECT_EQ(R::c_RadiusFactor3x3x3.Radius(), 1.732f);
    EXPECT_THROW(R::c_RadiusFactor2x2x2Sqr.Radius(), VelmException);
    EXPECT_THROW(R::c_RadiusFactor3x3x3Sqr.Radius(), VelmException);
    for (const R* r :
         {&R::c_RadiusFactor2x2x2, &R::c_RadiusFactor2x2x2Sqr, &R::c_RadiusFactor3x3x3, &R::c_RadiusFactor3x3x3Sqr})
        EXPECT_EQ(r->RadiusSqr(), 3.0f);
    EXPECT_EQ(R::c_RadiusFactor2x2x2.ScaleFactorSqr(), 1.0f);
    EXPECT_EQ(R::c_RadiusFactor2x2x2Sqr.ScaleFactor(), 1.0f);
    EXPECT_EQ(R::c_RadiusFactor3x3x3.ScaleFactorSqr(), 2.25f);
    EXPECT_EQ(R::c_RadiusFactor3x3x3Sqr.ScaleFactorSqr(), 2.25f);

    // The unset radius is the quiet NaN 0x7FC00000.
    struct Probe : R
    {
        explicit Probe(const R& r) : R(r) {}
        float Raw() const { return fRadius; }
    };
    const float raw = Probe(R::c_RadiusFactor3x3x3Sqr).Raw();
    uint32_t bits;
    std::memcpy(&bits, &raw, sizeof bits);
    EXPECT_EQ(bits, 0x7FC00000u);
}
