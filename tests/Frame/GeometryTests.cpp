#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/XoBoundingBox3D.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

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

TEST(Matrix4, ProductAppliesTheLeftFactorFirstAndInverseThrowsOnlyForAnExactlyZeroDeterminant)
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
    const auto e = Thrown<XoExceptionNotInvertible>([&] { singular.Invert(); });
    EXPECT_EQ(e.GetCodeLine(), 1437u);
    EXPECT_STREQ(e.GetFilename(), "velm/Frame/CbMatrix4.h");
    EXPECT_STREQ(e.GetFunctionName(), "CbMatrixInternal::XoBaseMatrix4x4<class CbMatrix4Rd>::Invert");
    EXPECT_EQ(singular, before);

    CbMatrix4Rd withNaN; // a NaN determinant is not zero: no exception, NaN elements
    withNaN[5] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NO_THROW(withNaN.Invert());
    EXPECT_TRUE(std::isnan(withNaN[0]));
}

TEST(BoundingBox, InflateIntersectTransformAndExtent)
{
    XoBoundingBox3D invalid;
    invalid.Inflate(1.0f);
    EXPECT_TRUE(!invalid.box.IsValid() && invalid.GetExtent() == 0.0f);

    XoBoundingBox3D a(CbVector3f(0, 0, 0), CbVector3f(1, 2, 2));
    EXPECT_FLOAT_EQ(a.GetExtent(), 3.0f);
    XoBoundingBox3D apart(CbVector3f(1.5f, 0, 0), CbVector3f(3, 1, 1));
    EXPECT_EQ(a.Intersect(XoBoundingBox3D(CbVector3f(1, 0, 0), CbVector3f(3, 1, 1))), 1); // closed intervals
    EXPECT_EQ(a.Intersect(apart) + a.Intersect(invalid) + invalid.Intersect(a), 0);

    apart.Inflate(0.5f);
    EXPECT_EQ(std::pair(apart.box.vMin, apart.box.vMax),
              std::pair(CbVector3f(1, -0.5f, -0.5f), CbVector3f(3.5f, 1.5f, 1.5f)));
    EXPECT_EQ(a.Intersect(apart), 1);

    XoBoundingBox3D both, none;
    both.Intersection(a, apart);
    EXPECT_EQ(std::pair(both.box.vMin, both.box.vMax), std::pair(CbVector3f(1, 0, 0), CbVector3f(1, 1.5f, 1.5f)));
    none.Intersection(a, XoBoundingBox3D(CbVector3f(5, 5, 5), CbVector3f(6, 6, 6)));
    EXPECT_FALSE(none.box.IsValid());

    // A quarter turn about z and a shift: the bounds of the eight mapped corners (Invalidate, then Extend).
    XoBoundingBox3D moved = a;
    moved.Transform(CbMatrix4Rf(RotationZ(M_PI / 2) * CbMatrix4Rd::Translation(10, 0, 0)));
    EXPECT_NEAR((moved.box.vMin - CbVector3f(8.0f, 0.0f, 0.0f)).Length(), 0.0f, 1e-5f);
    EXPECT_NEAR((moved.box.vMax - CbVector3f(10.0f, 1.0f, 2.0f)).Length(), 0.0f, 1e-5f);
    EXPECT_EQ(moved.box.vMax.z, 2.0f);
}
