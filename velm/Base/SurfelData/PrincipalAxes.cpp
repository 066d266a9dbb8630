#include "velm/Base/SurfelData/PrincipalAxes.h"

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>

namespace Base
{
namespace
{
// Relative gap between neighbouring eigenvalues below which the closed form hands over to the
// iterative solver: an axis is resolved only to about the rounding of the spread over that gap.
constexpr double c_MinRelativeGap = 1e-4;

struct SCovariance
{
    double xx, yy, zz, xy, xz, yz;
};

// The unit direction that C - value I sends to zero, from the longest cross product of two of its
// rows; false when all rows are parallel (value not a simple eigenvalue).
bool Kernel(const SCovariance& c, double value, CbVector3d& axis)
{
    const CbVector3d r0(c.xx - value, c.xy, c.xz);
    const CbVector3d r1(c.xy, c.yy - value, c.yz);
    const CbVector3d r2(c.xz, c.yz, c.zz - value);
    const CbVector3d candidates[3] = {r0.Cross(r1), r0.Cross(r2), r1.Cross(r2)};
    int best = 0;
    double longest = candidates[0].Dot(candidates[0]);
    for (int k = 1; k < 3; ++k)
    {
        const double l = candidates[k].Dot(candidates[k]);
        if (l > longest)
        {
            best = k;
            longest = l;
        }
    }
    if (!(longest > 0.0) || !std::isfinite(longest))
        return false;
    axis = candidates[best] * (1.0 / std::sqrt(longest));
    return true;
}

// The common case, a spread with three distinct extents: the least eigenvalue by Newton's method on
// the characteristic polynomial from 0, where the polynomial is positive, falling and convex up to
// that root (a positive semi-definite matrix has none below 0), so the steps rise to it and stop when
// rounding ends them; the other two from the sum and product the polynomial gives. False when the
// extents are too close (or one is 0) for the axes to be resolved this way.
bool ClosedForm(const SCovariance& c, EAxes wanted, SPrincipalAxes& axes)
{
    const double trace = c.xx + c.yy + c.zz;
    const double minors = (c.xx * c.yy - c.xy * c.xy) + (c.xx * c.zz - c.xz * c.xz) + (c.yy * c.zz - c.yz * c.yz);
    const double det =
        c.xx * (c.yy * c.zz - c.yz * c.yz) - c.xy * (c.xy * c.zz - c.yz * c.xz) + c.xz * (c.xy * c.yz - c.yy * c.xz);
    if (!(det > 0.0) || !(minors > 0.0) || !std::isfinite(det) || !std::isfinite(trace))
        return false;
    double least = 0.0;
    for (int step = 0; step < 100; ++step)
    {
        const double f = det + least * (-minors + least * (trace - least));
        const double slope = -minors + least * (2.0 * trace - 3.0 * least);
        const double next = least - f / slope;
        if (!(next > least))
            break;
        least = next;
    }
    const double sum = trace - least;            // of the two larger
    const double product = minors - least * sum; // of the two larger
    const double half = 0.5 * sum;
    const double spread = std::sqrt(std::max(0.0, half * half - product));
    const double largest = half + spread;
    const double middle = half - spread;
    if ((middle - least) < c_MinRelativeGap * largest || (largest - middle) < c_MinRelativeGap * largest)
        return false;
    if (!Kernel(c, least, axes.aAxes[2]))
        return false;
    if (wanted == EAxes::All)
    {
        if (!Kernel(c, largest, axes.aAxes[0]))
            return false;
        axes.aAxes[1] = axes.aAxes[2].Cross(axes.aAxes[0]);
    }
    axes.aValues[0] = largest;
    axes.aValues[1] = middle;
    axes.aValues[2] = least;
    return true;
}
} // namespace

SPrincipalAxes PrincipalAxes(const CbVector3d* points, size_t count, EAxes wanted)
{
    SPrincipalAxes axes;
    if (count == 0)
        return axes;
    const double n = static_cast<double>(count);
    CbVector3d sum;
    for (size_t i = 0; i < count; ++i)
        sum += points[i];
    const CbVector3d mean = sum * (1.0 / n);
    // Centred before the products are summed: the covariance loses no digits to the mean.
    double xx = 0.0, yy = 0.0, zz = 0.0, xy = 0.0, xz = 0.0, yz = 0.0;
    for (size_t i = 0; i < count; ++i)
    {
        const CbVector3d d = points[i] - mean;
        xx += d.x * d.x;
        yy += d.y * d.y;
        zz += d.z * d.z;
        xy += d.x * d.y;
        xz += d.x * d.z;
        yz += d.y * d.z;
    }
    const SCovariance c{xx / n, yy / n, zz / n, xy / n, xz / n, yz / n};
    if (ClosedForm(c, wanted, axes))
        return axes;

    // Flat, straight, round or single-point neighbourhoods: Eigen's closed form where its axes are
    // resolved, else its iterative solver, whose axes are accurate to rounding.
    Eigen::Matrix3d covariance;
    covariance << c.xx, c.xy, c.xz, c.xy, c.yy, c.yz, c.xz, c.yz, c.zz;
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;
    solver.computeDirect(covariance);
    const Eigen::Vector3d& v = solver.eigenvalues(); // increasing
    const double scale = std::fabs(v(2)) + 1e-300;
    if (solver.info() != Eigen::Success || (v(1) - v(0)) < c_MinRelativeGap * scale ||
        (v(2) - v(1)) < c_MinRelativeGap * scale)
        solver.compute(covariance);
    const Eigen::Vector3d& values = solver.eigenvalues();
    const Eigen::Matrix3d& vectors = solver.eigenvectors();
    for (int k = 0; k < 3; ++k)
    {
        const int col = 2 - k;
        axes.aValues[k] = values(col);
        axes.aAxes[k] = CbVector3d(vectors(0, col), vectors(1, col), vectors(2, col));
    }
    return axes;
}
} // namespace Base
