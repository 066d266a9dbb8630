#pragma once

namespace DataLayer
{
// Rotation matrices from three Euler angles in radians: R = Rz(c) * Ry(b) * Rx(a), so that a rotation
// about x by a acts first on a column vector.
class CEuler2Matrix
{
public:
    CEuler2Matrix() = default;
    CEuler2Matrix(const CEuler2Matrix&) = default;
    CEuler2Matrix& operator=(const CEuler2Matrix&) = default;
    virtual ~CEuler2Matrix() = default;

    // Writes the nine elements of R into m, row-major.
    void Euler2Matrix(const double& a, const double& b, const double& c, double* m);
    void Euler2Matrix(const double angles[3], double* m);
};
} // namespace DataLayer
