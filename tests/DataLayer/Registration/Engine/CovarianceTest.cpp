#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using DataLayer::VelmTorCorrICPPoint;
using DataLayer::VelmTorQualityPointCCT;
using PointList = std::vector<VelmTorQualityPointCCT>;

namespace
{
const PointList kExample = {{{0, 0, 0}, 1}, {{4, 0, 0}, 1}, {{0, 0, 1}, 1}, {{4, 0, 1}, 1}, {{2, 1, 0}, 1}};

void ExpectVectorNear(const CbVector3d& v, double x, double y, double z, double tol)
{
    EXPECT_NEAR(v.x, x, tol);
    EXPECT_NEAR(v.y, y, tol);
    EXPECT_NEAR(v.z, z, tol);
}
} // namespace

TEST(Covariance, ClosedFormDecompositionOfTheWorkedExample)
{
    CbVector3d centre, axes[3], values;
    VelmTorCorrICPPoint::ComputeCovariance(kExample, centre, axes, values);
    ExpectVectorNear(centre, 2.0, 0.2, 0.4, 1e-15);
    EXPECT_NEAR(values.x, 3.2, 1e-12);
    EXPECT_NEAR(values.y, 0.2 + std::sqrt(0.008), 1e-12);
    EXPECT_NEAR(values.z, 0.2 - std::sqrt(0.008), 1e-12);
    ExpectVectorNear(axes[0], 1, 0, 0, 1e-9);
    ExpectVectorNear(axes[1], 0, 0.5257311, -0.8506508, 1e-7);
    ExpectVectorNear(axes[2], 0, 0.8506508, 0.5257311, 1e-7);

    // Doubling every quality changes nothing.
    PointList doubled = kExample;
    for (auto& p : doubled)
        p.dQuality *= 2.0;
    CbVector3d centre2, axes2[3], values2;
    VelmTorCorrICPPoint::ComputeCovariance(doubled, centre2, axes2, values2);
    ExpectVectorNear(centre2, centre.x, centre.y, centre.z, 1e-15);
    ExpectVectorNear(values2, values.x, values.y, values.z, 1e-12);
    for (int k = 0; k < 3; ++k)
        ExpectVectorNear(axes2[k], axes[k].x, axes[k].y, axes[k].z, 1e-9);

    // Qualities weight the centre: a point of quality 3 counts three times.
    PointList weighted = {{{0, 0, 0}, 1}, {{4, 0, 0}, 3}, {{0, 2, 0}, 0}, {{0, 0, 8}, 0}};
    VelmTorCorrICPPoint::ComputeCovariance(weighted, centre, axes, values);
    ExpectVectorNear(centre, 3.0, 0.0, 0.0, 1e-15);
    EXPECT_NEAR(values.x, 3.0, 1e-12); // (1 * 9 + 3 * 1) / 4
}

TEST(Covariance, RepeatedAndUndefinedEigenvalues)
{
    // Covariance exactly 2 I (cube corners at +-2 and a centre point of quality 8): a triple
    // eigenvalue has no single direction, so every axis is zero.
    PointList iso = {{{0, 0, 0}, 8}};
    for (int corner = 0; corner < 8; ++corner)
        iso.push_back({{corner & 1 ? 2.0 : -2.0, corner & 2 ? 2.0 : -2.0, corner & 4 ? 2.0 : -2.0}, 1});
    CbVector3d centre, axes[3], values;
    VelmTorCorrICPPoint::ComputeCovariance(iso, centre, axes, values);
    EXPECT_EQ(values, CbVector3d(2, 2, 2));
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(axes[k], CbVector3d());

    // An empty list has no centre; nothing is computed and nothing throws.
    VelmTorCorrICPPoint::ComputeCovariance({}, centre, axes, values);
    EXPECT_TRUE(std::isnan(centre.x));
    EXPECT_TRUE(std::isnan(values.x));
    EXPECT_TRUE(std::isnan(axes[0].x));
}

TEST(Covariance, EllipsoidForEveryNumberOfPoints)
{
    Base::CCovarianceEllipsoid e;
    const CbVector3d c0(7, 8, 9);
    e.Set(c0, c0, c0, c0, 0.5f);
    VelmTorCorrICPPoint::ComputeCovarianceEllipsoid({}, e);
    EXPECT_EQ(e.GetSigmaScale(), -1.0f);
    EXPECT_EQ(e.GetCentre(), c0);
    EXPECT_EQ(e.GetAxisEnd(1), c0);

    const CbVector3d p(1, -2, 3);
    VelmTorCorrICPPoint::ComputeCovarianceEllipsoid({{p, 0.5}}, e);
    EXPECT_EQ(e.GetCentre(), p);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(e.GetAxisEnd(k), p);
    EXPECT_EQ(e.GetSigmaScale(), 1.0f);

    const CbVector3d q(3, 0, -1);
    VelmTorCorrICPPoint::ComputeCovarianceEllipsoid({{p, 1}, {q, 1}}, e);
    EXPECT_EQ(e.GetCentre(), CbVector3d(2, -1, 1));
    EXPECT_EQ(e.GetAxisEnd(0), p);
    EXPECT_EQ(e.GetAxisEnd(1), CbVector3d(2, -1, 1));
    EXPECT_EQ(e.GetAxisEnd(2), CbVector3d(2, -1, 1));

    VelmTorCorrICPPoint::ComputeCovarianceEllipsoid(kExample, e);
    ExpectVectorNear(e.GetCentre(), 2.0, 0.2, 0.4, 1e-15);
    ExpectVectorNear(e.GetAxisEnd(0), 2.0 + std::sqrt(3.2), 0.2, 0.4, 1e-9);
    const double s1 = std::sqrt(0.2 + std::sqrt(0.008));
    ExpectVectorNear(e.GetAxisEnd(1), 2.0, 0.2 + s1 * 0.5257311, 0.4 - s1 * 0.8506508, 1e-7);
    EXPECT_EQ(e.GetSigmaScale(), 1.0f);
}
