#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/XoBoundingBox3D.h"
#include "velm/Frame/XoMatrix3x3.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{
CbMatrix4Rd RotationZ(double angle)
{
    CbMatrix4Rd m;
    m[0] = m[5] = std::cos(angle);
    m[1] = std::sin(angle);
    m[4] = -m[1];
    return m;
}
} // namespace

TEST(Matrix4, ProductAppliesTheLeftFactorFirst)
{
    const CbMatrix4Rd r = RotationZ(M_PI / 2), t = CbMatrix4Rd::Translation(1.0, 2.0, 3.0);
    const CbVector3d p(1.0, 0.0, 0.0);
    EXPECT_NEAR(((r * t).TransformPoint(p) - CbVector3d(1.0, 3.0, 3.0)).Length(), 0.0, 1e-15); // rotate, then shift
    EXPECT_NEAR(((t * r).TransformPoint(p) - CbVector3d(-2.0, 2.0, 3.0)).Length(), 0.0, 1e-15);
    CbMatrix4Rd scaleW; // homogeneous division by w
    scaleW[15] = 2.0;
    EXPECT_EQ(scaleW.TransformPoint(CbVector3d(2.0, 4.0, 6.0)), CbVector3d(1.0, 2.0, 3.0));
    EXPECT_EQ(CbMatrix4Rd(), CbMatrix4Rd::Identity());
    EXPECT_EQ(CbMatrix4Rf(t)[13], 2.0f);
}

TEST(Matrix4, InvertsOrThrowsForAnExactlyZeroDeterminant)
{
    CbMatrix4Rd m = RotationZ(0.7) * CbMatrix4Rd::Translation(5.0, -1.0, 2.0);
    m[0] *= 2.0; // not rigid: a general inverse
    const CbMatrix4Rd original = m;
    EXPECT_NEAR(m.Determinant(), 2.0 * std::cos(0.7) * std::cos(0.7) + std::sin(0.7) * std::sin(0.7), 1e-14);
    m.Invert();
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR((original * m)[i], CbMatrix4Rd()[i], 1e-14) << i;

    CbMatrix4Rd singular;
    singular[10] = 0.0;
    const CbMatrix4Rd before = singular;
    try
    {
        singular.Invert();
        FAIL() << "a zero determinant must throw";
    }
    catch (const XoExceptionNotInvertible& e)
    {
        EXPECT_EQ(e.GetCodeLine(), 1437u);
        EXPECT_STREQ(e.GetFilename(), "velm/Frame/CbMatrix4.h");
        EXPECT_STREQ(e.GetFunctionName(), "CbMatrixInternal::XoBaseMatrix4x4<class CbMatrix4Rd>::Invert");
    }
    EXPECT_EQ(singular, before);

    CbMatrix4Rd withNaN; // a NaN determinant is not zero: no exception, NaN elements
    withNaN[5] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NO_THROW(withNaN.Invert());
    EXPECT_TRUE(std::isnan(withNaN[0]));
    CbMatrix4Rf zero;
    zero[0] = 0.0f;
    EXPECT_THROW(zero.Invert(), XoExceptionNotInvertible);
}

TEST(Matrix3x3, EigenDecompositionReconstructsTheMatrix)
{
    XoMatrix3x3<double> a, d, v;
    const double values[9] = {4, 1, 0.5, 1, 3, -0.25, 0.5, -0.25, 2};
    std::copy(values, values + 9, a.m);
    a.ComputeEVD(d, v);
    EXPECT_EQ(d(0, 1), 0.0);
    for (int k = 0; k < 3; ++k)
    {
        for (int r = 0; r < 3; ++r) // A v_k = d_k v_k for column k of V
            EXPECT_NEAR(a(r, 0) * v(0, k) + a(r, 1) * v(1, k) + a(r, 2) * v(2, k), d(k, k) * v(r, k), 1e-12);
        EXPECT_NEAR(v(0, k) * v(0, k) + v(1, k) * v(1, k) + v(2, k) * v(2, k), 1.0, 1e-12);
    }
    EXPECT_NEAR(d(0, 0) + d(1, 1) + d(2, 2), 9.0, 1e-12);
}

TEST(BoundingBox, InflateIntersectTransformAndExtent)
{
    XoBoundingBox3D invalid;
    invalid.Inflate(1.0f);
    EXPECT_FALSE(invalid.box.IsValid());
    EXPECT_EQ(invalid.GetExtent(), 0.0f);

    XoBoundingBox3D a(CbVector3f(0, 0, 0), CbVector3f(1, 2, 2));
    EXPECT_FLOAT_EQ(a.GetExtent(), 3.0f);
    XoBoundingBox3D apart(CbVector3f(1.5f, 0, 0), CbVector3f(3, 1, 1));
    EXPECT_EQ(a.Intersect(XoBoundingBox3D(CbVector3f(1, 0, 0), CbVector3f(3, 1, 1))), 1); // closed intervals
    EXPECT_EQ(a.Intersect(apart) + a.Intersect(invalid) + invalid.Intersect(a), 0);

    apart.Inflate(0.5f);
    EXPECT_EQ(apart.box.vMin, CbVector3f(1.0f, -0.5f, -0.5f));
    EXPECT_EQ(apart.box.vMax, CbVector3f(3.5f, 1.5f, 1.5f));
    EXPECT_EQ(a.Intersect(apart), 1);

    XoBoundingBox3D both, none;
    both.Intersection(a, apart);
    EXPECT_EQ(both.box.vMin, CbVector3f(1.0f, 0.0f, 0.0f));
    EXPECT_EQ(both.box.vMax, CbVector3f(1.0f, 1.5f, 1.5f));
    none.Intersection(a, XoBoundingBox3D(CbVector3f(5, 5, 5), CbVector3f(6, 6, 6)));
    EXPECT_FALSE(none.box.IsValid());

    // A quarter turn about z and a shift: the bounds of the eight mapped corners (Invalidate, then Extend).
    XoBoundingBox3D moved = a;
    moved.Transform(CbMatrix4Rf(RotationZ(M_PI / 2) * CbMatrix4Rd::Translation(10, 0, 0)));
    EXPECT_NEAR((moved.box.vMin - CbVector3f(8.0f, 0.0f, 0.0f)).Length(), 0.0f, 1e-5f);
    EXPECT_NEAR((moved.box.vMax - CbVector3f(10.0f, 1.0f, 2.0f)).Length(), 0.0f, 1e-5f);
    EXPECT_EQ(moved.box.vMax.z, 2.0f);
}

TEST(Vector3, ArithmeticAndConversions)
{
    const CbVector3d a(1, 2, 3), b(-2, 0.5, 4);
    EXPECT_EQ(a + b, CbVector3d(-1, 2.5, 7));
    EXPECT_EQ(a - b, CbVector3d(3, 1.5, -1));
    EXPECT_EQ(a * 2.0, CbVector3d(2, 4, 6));
    EXPECT_EQ(-a, CbVector3d(-1, -2, -3));
    EXPECT_EQ(a.Dot(b), 11.0);
    EXPECT_EQ(a.Cross(b), CbVector3d(6.5, -10, 4.5));
    EXPECT_EQ(CbVector3d(3, 4, 0).Length(), 5.0);
    EXPECT_EQ(CbVector3f(CbVector3d(0.1, 0, 0)).x, 0.1f);
    EXPECT_EQ(CbVector3d(), CbVector3d(0, 0, 0));
}
