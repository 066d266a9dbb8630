#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <utility>

namespace DataLayer
{
namespace
{
struct Symmetric3x3
{
    double a00, a01, a02, a11, a12, a22;
};

// Unit eigenvector of the symmetric matrix b = C - lambda I from the adjugate row holding the largest
// cofactor; zero when that row vanishes (a repeated eigenvalue leaves no single direction).
CbVector3d eigenVectorOf(const Symmetric3x3& b)
{
    const double c00 = b.a11 * b.a22 - b.a12 * b.a12;
    const double c01 = b.a02 * b.a12 - b.a01 * b.a22;
    const double c02 = b.a01 * b.a12 - b.a02 * b.a11;
    const double c11 = b.a00 * b.a22 - b.a02 * b.a02;
    const double c12 = b.a01 * b.a02 - b.a00 * b.a12;
    const double c22 = b.a00 * b.a11 - b.a01 * b.a01;

    const double cofactors[6] = {c00, c01, c02, c11, c12, c22};
    int largest = 0;
    for (int i = 1; i < 6; ++i)
        if (cofactors[i] > cofactors[largest])
            largest = i;

    CbVector3d row;
    switch (largest)
    {
    case 0: row = {c00, c01, c02}; break;
    case 1:
    case 3: row = {c01, c11, c12}; break;
    default: row = {c02, c12, c22}; break;
    }
    const double n2 = row.x * row.x + row.y * row.y + row.z * row.z;
    if (n2 <= DBL_MIN)
        return CbVector3d();
    const double n = std::sqrt(n2);
    return {row.x / n, row.y / n, row.z / n};
}

// Closed-form eigen-decomposition through the trigonometric solution of the characteristic cubic.
void solveSymmetric3x3(const Symmetric3x3& c, CbVector3d* const axes, CbVector3d& values)
{
    const double tr = c.a00 + c.a11 + c.a22;
    const double m = tr / 3.0;
    const double c1 = c.a00 * c.a11 - c.a01 * c.a01 + c.a22 * c.a00 - c.a02 * c.a02 + c.a22 * c.a11 - c.a12 * c.a12;
    const double det = 2.0 * c.a01 * c.a02 * c.a12 + c.a22 * c.a00 * c.a11 - c.a12 * c.a00 * c.a12 -
                       c.a02 * c.a11 * c.a02 - c.a22 * c.a01 * c.a01;
    const double q = m * c1 - (tr / 13.5) * tr * tr - det;
    const double p = (c1 - m * tr) / 3.0;
    const double d = p * p * p + (0.5 * q) * (0.5 * q);

    double lambda[3];
    if (d > 0.0)
    {
        // Only rounding makes the discriminant of a symmetric matrix positive: it is then diagonal
        // to working precision.
        lambda[0] = c.a00;
        lambda[1] = c.a11;
        lambda[2] = c.a22;
    }
    else if (d <= 0.0)
    {
        const double rho = std::pow(std::sqrt(0.25 * q * q - d), 0.3333333333333333);
        const double phi = std::atan2(std::sqrt(-d), -0.5 * q) / 3.0;
        const double cosPhi = std::cos(phi);
        const double sinPhi = std::sin(phi);
        const double sqrt3 = std::sqrt(3.0);
        lambda[0] = 2.0 * rho * cosPhi + m;
        lambda[1] = m - rho * (cosPhi + sqrt3 * sinPhi);
        lambda[2] = m - rho * (cosPhi - sqrt3 * sinPhi);
    }
    else
    {
        // A NaN discriminant (NaN input): no eigenvalue can be computed.
        lambda[0] = lambda[1] = lambda[2] = std::numeric_limits<double>::quiet_NaN();
    }

    if (std::fabs(lambda[1]) > std::fabs(lambda[0]))
        std::swap(lambda[0], lambda[1]);
    if (std::fabs(lambda[2]) > std::fabs(lambda[1]))
        std::swap(lambda[1], lambda[2]);
    if (std::fabs(lambda[1]) > std::fabs(lambda[0]))
        std::swap(lambda[0], lambda[1]);
    values = {lambda[0], lambda[1], lambda[2]};

    if (d > 0.0)
    {
        axes[0] = {1.0, 0.0, 0.0};
        axes[1] = {0.0, 1.0, 0.0};
        axes[2] = {0.0, 0.0, 1.0};
        return;
    }
    for (int k = 0; k < 3; ++k)
    {
        Symmetric3x3 b = c;
        b.a00 -= lambda[k];
        b.a11 -= lambda[k];
        b.a22 -= lambda[k];
        axes[k] = eigenVectorOf(b);
    }
}
} // namespace

void VelmTorCorrICPPoint::ComputeCovariance(const std::vector<VelmTorQualityPointCCT>& points, CbVector3d& centre,
                                            CbVector3d* const axes, CbVector3d& values)
{
    double weightSum = 0.0;
    CbVector3d weighted;
    for (const VelmTorQualityPointCCT& point : points)
    {
        weightSum += point.dQuality;
        weighted.x += point.dQuality * point.vPosition.x;
        weighted.y += point.dQuality * point.vPosition.y;
        weighted.z += point.dQuality * point.vPosition.z;
    }
    centre = weighted * (1.0 / weightSum);

    Symmetric3x3 c{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (const VelmTorQualityPointCCT& point : points)
    {
        const double dx = point.vPosition.x - centre.x;
        const double dy = point.vPosition.y - centre.y;
        const double dz = point.vPosition.z - centre.z;
        const double w = point.dQuality;
        c.a00 += w * (dx * dx);
        c.a01 += w * (dx * dy);
        c.a02 += w * (dx * dz);
        c.a11 += w * (dy * dy);
        c.a12 += w * (dy * dz);
        c.a22 += w * (dz * dz);
    }
    c.a00 /= weightSum;
    c.a01 /= weightSum;
    c.a02 /= weightSum;
    c.a11 /= weightSum;
    c.a12 /= weightSum;
    c.a22 /= weightSum;

    solveSymmetric3x3(c, axes, values);
}

void VelmTorCorrICPPoint::ComputeCovarianceEllipsoid(const std::vector<VelmTorQualityPointCCT>& points,
                                                     Base::CCovarianceEllipsoid& ellipsoid)
{
    const size_t n = points.size();
    if (n == 0)
    {
        ellipsoid.SetSigmaScale(-1.0f);
        return;
    }
    if (n == 1)
    {
        const CbVector3d& p = points[0].vPosition;
        ellipsoid.Set(p, p, p, p, 1.0f);
        return;
    }
    if (n == 2)
    {
        const CbVector3d& p0 = points[0].vPosition;
        const CbVector3d& p1 = points[1].vPosition;
        const CbVector3d mid(0.5 * (p0.x + p1.x), 0.5 * (p0.y + p1.y), 0.5 * (p0.z + p1.z));
        ellipsoid.Set(mid, p0, mid, mid, 1.0f);
        return;
    }
    CbVector3d centre;
    CbVector3d axes[3];
    CbVector3d values;
    ComputeCovariance(points, centre, axes, values);
    const double sigma0 = std::sqrt(values.x);
    const double sigma1 = std::sqrt(values.y);
    const double sigma2 = std::sqrt(values.z);
    ellipsoid.Set(centre, centre + axes[0] * sigma0, centre + axes[1] * sigma1, centre + axes[2] * sigma2, 1.0f);
}
} // namespace DataLayer
