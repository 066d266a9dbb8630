#include "DataLayer/EngineRigs.h"

using namespace EngineTest;

const PointList kExample = {{{0, 0, 0}, 1}, {{4, 0, 0}, 1}, {{0, 0, 1}, 1}, {{4, 0, 1}, 1}, {{2, 1, 0}, 1}};
const CbVector3d kAxis1(0, 0.5257311, -0.8506508), kAxis2(0, 0.8506508, 0.5257311);

TEST(Covariance, ClosedFormDecompositionOfTheWorkedExampleAndTheEllipsoidForEveryNumberOfPoints)
{
    CbVector3d centre, axes[3], values;
    PointList points = kExample;
    for (int round = 0; round < 2; ++round) // doubling every quality changes nothing
    {
        VelmTorCorrICPPoint::ComputeCovariance(points, centre, axes, values);
        ExpectNear(centre, {2.0, 0.2, 0.4}, 1e-15);
        ExpectNear(values, {3.2, 0.2 + std::sqrt(0.008), 0.2 - std::sqrt(0.008)}, 1e-12);
        ExpectNear(axes[0], {1, 0, 0}, 1e-9), ExpectNear(axes[1], kAxis1, 1e-7), ExpectNear(axes[2], kAxis2, 1e-7);
        for (auto& p : points)
            p.dQuality *= 2.0;
    }

    // Covariance exactly 2 I (cube corners and a centre of quality 8): no single direction, zero axes.
    PointList iso = {{{0, 0, 0}, 8}};
    for (int corner = 0; corner < 8; ++corner)
        iso.push_back({{corner & 1 ? 2.0 : -2.0, corner & 2 ? 2.0 : -2.0, corner & 4 ? 2.0 : -2.0}, 1});
    VelmTorCorrICPPoint::ComputeCovariance(iso, centre, axes, values);
    const CbVector3d zero;
    EXPECT_EQ(std::tuple(values, axes[0], axes[1], axes[2]), std::tuple(CbVector3d(2, 2, 2), zero, zero, zero));

    // An empty list has no centre; nothing is computed and nothing throws.
    VelmTorCorrICPPoint::ComputeCovariance({}, centre, axes, values);
    EXPECT_TRUE(std::isnan(centre.x) && std::isnan(axes[0].x));

    // The ellipsoid for every number of points.
    CCovarianceEllipsoid e;
    auto of = [&e](const PointList& points) {
        VelmTorCorrICPPoint::ComputeCovarianceEllipsoid(points, e);
        return std::tuple(e.GetCentre(), e.GetAxisEnd(0), e.GetAxisEnd(1), e.GetAxisEnd(2), e.GetSigmaScale());
    };
    const CbVector3d c0(7, 8, 9), p(1, -2, 3), q(3, 0, -1), mid(2, -1, 1);
    e.Set(c0, c0, c0, c0, 0.5f);
    EXPECT_EQ(of({}), std::tuple(c0, c0, c0, c0, -1.0f)); // only the float member changes
    EXPECT_EQ(of({{p, 0.5}}), std::tuple(p, p, p, p, 1.0f));
    EXPECT_EQ(of({{p, 1}, {q, 1}}), std::tuple(mid, p, mid, mid, 1.0f));

    EXPECT_EQ(std::get<4>(of(kExample)), 1.0f);
    centre = CbVector3d(2.0, 0.2, 0.4);
    ExpectNear(e.GetCentre(), centre, 1e-15);
    ExpectNear(e.GetAxisEnd(0), centre + CbVector3d(std::sqrt(3.2), 0, 0), 1e-9);
    ExpectNear(e.GetAxisEnd(1), centre + kAxis1 * std::sqrt(0.2 + std::sqrt(0.008)), 1e-7);
}
