#include "velm/Base/SurfelData/PrincipalAxes.h"

#include <Eigen/Eigenvalues>

#include <cmath>

namespace Base
{
SPrincipalAxes PrincipalAxes(const CbVector3d* points, size_t count)
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
    Eigen::Matrix3d covariance;
    covariance << xx / n, xy / n, xz / n, xy / n, yy / n, yz / n, xz / n, yz / n, zz / n;

    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;
    solver.computeDirect(covariance);
    // The closed form resolves an axis only to about sqrt(machine epsilon) of the spread over the gap
    // to its neighbouring eigenvalue; a nearly round or nearly straight neighbourhood gets the
    // iterative solver, whose axes are accurate to rounding.
    const Eigen::Vector3d& v = solver.eigenvalues(); // increasing
    const double scale = std::fabs(v(2)) + 1e-300;
    if (solver.info() != Eigen::Success || (v(1) - v(0)) < 1e-4 * scale || (v(2) - v(1)) < 1e-4 * scale)
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
